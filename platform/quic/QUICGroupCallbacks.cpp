#include <ngtcp2/ngtcp2_crypto.h>

#include "platform/quic/QUICGroupImpl.h"

#include <algorithm>

namespace brindlet::platform {

// Entry points the stack calls; each forwards to the group named by user_data.
struct QUICGroupImpl::Callbacks {
  static QUICGroupImpl* of(void* user) { return static_cast<QUICGroupImpl*>(user); }

  static int handshakeCompleted(ngtcp2_conn*, void* user) { return of(user)->onHandshakeCompleted(); }
  static int recvStreamData(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t, const uint8_t* data, size_t size,
                            void* user, void*) {
    return of(user)->onStreamData(id, flags, data, size);
  }
  static int ackedStreamDataOffset(ngtcp2_conn*, int64_t id, uint64_t offset, uint64_t length, void* user, void*) {
    return of(user)->onStreamAcked(id, offset, length);
  }
  static int streamOpen(ngtcp2_conn*, int64_t id, void* user) { return of(user)->onStreamOpened(id); }
  static int streamClose(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t code, void* user, void*) {
    return of(user)->onStreamClosed(id, flags, code);
  }
  static int streamReset(ngtcp2_conn*, int64_t id, uint64_t, uint64_t code, void* user, void*) {
    return of(user)->onStreamReset(id, code);
  }
  static int streamStopSending(ngtcp2_conn*, int64_t id, uint64_t code, void* user, void*) {
    return of(user)->onStreamStopSending(id, code);
  }
  static int extendMaxStreamData(ngtcp2_conn*, int64_t id, uint64_t, void* user, void*) {
    return of(user)->onStreamCredit(id);
  }
  static void rand(uint8_t* out, size_t length, const ngtcp2_rand_ctx*) { tlsRandomBytes(out, length); }
  static int newConnectionID(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length, void* user) {
    return of(user)->onNewConnectionID(cid, token, length);
  }
  static int removeConnectionID(ngtcp2_conn*, const ngtcp2_cid* cid, void* user) {
    return of(user)->onRemoveConnectionID(cid);
  }
  static int recvDatagram(ngtcp2_conn*, uint32_t, const uint8_t*, size_t, void*) { return 0; }

  static ngtcp2_callbacks make(bool server) {
    ngtcp2_callbacks callbacks{};
    if (server) {
      callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
      callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
      callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    callbacks.handshake_completed = handshakeCompleted;
    callbacks.recv_stream_data = recvStreamData;
    callbacks.acked_stream_data_offset = ackedStreamDataOffset;
    callbacks.stream_open = streamOpen;
    callbacks.stream_close = streamClose;
    callbacks.stream_reset = streamReset;
    callbacks.stream_stop_sending = streamStopSending;
    callbacks.extend_max_stream_data = extendMaxStreamData;
    callbacks.rand = rand;
    callbacks.get_new_connection_id = newConnectionID;
    callbacks.remove_connection_id = removeConnectionID;
    callbacks.recv_datagram = recvDatagram;
    return callbacks;
  }
};

ngtcp2_callbacks QUICGroupImpl::stackCallbacks(bool server) { return Callbacks::make(server); }

// Connection IDs: each one this end issues is made of random bytes and announced to the
// listener, which routes datagrams by it.
int QUICGroupImpl::onNewConnectionID(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length) {
  cid->datalen = length;
  tlsRandomBytes(cid->data, length);
  tlsRandomBytes(token, NGTCP2_STATELESS_RESET_TOKENLEN);
  Bytes id = cidBytes(*cid);
  connectionIDs_.push_back(id);
  if (hooks_.addConnectionID) hooks_.addConnectionID(id, shared_from_this());
  return 0;
}

int QUICGroupImpl::onRemoveConnectionID(const ngtcp2_cid* cid) {
  Bytes id = cidBytes(*cid);
  connectionIDs_.erase(std::remove(connectionIDs_.begin(), connectionIDs_.end(), id), connectionIDs_.end());
  if (hooks_.removeConnectionID) hooks_.removeConnectionID(id);
  return 0;
}

}  // namespace brindlet::platform
