#include "platform/quic/QUICTypes.h"

#include "platform/quic/TLSSession.h"

namespace brindlet::platform {

namespace {
ByteView viewOf(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
}  // namespace

QUICIdentity QUICIdentity::fromPEM(std::string_view certificatePEM, std::string_view privateKeyPEM) {
  return decodeTLSIdentity(viewOf(certificatePEM), viewOf(privateKeyPEM), true);
}

QUICIdentity QUICIdentity::fromDER(Bytes certificateDER, Bytes privateKeyDER) {
  return decodeTLSIdentity(certificateDER, privateKeyDER, false);
}

}  // namespace brindlet::platform
