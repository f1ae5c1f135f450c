#include "platform/video/PixelConverter.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace brindlet::platform {
namespace {

void noFree(void*, uint8_t*) {}

SwsContext* makeContext(int sw, int sh, AVPixelFormat sf, int dw, int dh, AVPixelFormat df, int flags, int threads) {
    SwsContext* c = sws_alloc_context();
    if (!c) return nullptr;
    av_opt_set_int(c, "srcw", sw, 0);
    av_opt_set_int(c, "srch", sh, 0);
    av_opt_set_int(c, "src_format", sf, 0);
    av_opt_set_int(c, "dstw", dw, 0);
    av_opt_set_int(c, "dsth", dh, 0);
    av_opt_set_int(c, "dst_format", df, 0);
    av_opt_set_int(c, "sws_flags", flags, 0);
    av_opt_set_int(c, "threads", threads > 0 ? threads : 1, 0);
    if (sws_init_context(c, nullptr, nullptr) < 0) {
        sws_freeContext(c);
        return nullptr;
    }
    return c;
}

} // namespace

std::unique_ptr<PixelConverter> PixelConverter::toPlanar(int width, int height, PlanarFormat format, int threads) {
    std::unique_ptr<PixelConverter> p(new PixelConverter());
    p->srcWidth_ = p->dstWidth_ = width;
    p->srcHeight_ = p->dstHeight_ = height;
    p->dstFormat_ = format == PlanarFormat::yuv444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
    p->context_ = makeContext(width, height, AV_PIX_FMT_BGR0, width, height, static_cast<AVPixelFormat>(p->dstFormat_),
                              SWS_BILINEAR, threads);
    if (!p->context_) return nullptr;
    // Full-range RGB in, BT.709 limited-range Y'CbCr out.
    sws_setColorspaceDetails(p->context_, sws_getCoefficients(SWS_CS_ITU709), 1, sws_getCoefficients(SWS_CS_ITU709), 0,
                             0, 1 << 16, 1 << 16);
    p->srcFrame_ = av_frame_alloc();
    p->dstFrame_ = av_frame_alloc();
    if (!p->srcFrame_ || !p->dstFrame_) return nullptr;
    return p;
}

std::unique_ptr<PixelConverter> PixelConverter::scaler(int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                                                       int threads) {
    std::unique_ptr<PixelConverter> p(new PixelConverter());
    p->srcWidth_ = srcWidth;
    p->srcHeight_ = srcHeight;
    p->dstWidth_ = dstWidth;
    p->dstHeight_ = dstHeight;
    p->dstFormat_ = AV_PIX_FMT_BGR0;
    p->context_ =
        makeContext(srcWidth, srcHeight, AV_PIX_FMT_BGR0, dstWidth, dstHeight, AV_PIX_FMT_BGR0, SWS_AREA, threads);
    if (!p->context_) return nullptr;
    p->srcFrame_ = av_frame_alloc();
    p->dstFrame_ = av_frame_alloc();
    if (!p->srcFrame_ || !p->dstFrame_) return nullptr;
    return p;
}

PixelConverter::~PixelConverter() {
    av_frame_free(&srcFrame_);
    av_frame_free(&dstFrame_);
    sws_freeContext(context_);
}

bool PixelConverter::run(const uint8_t* src, int srcStride, uint8_t* const dstPlanes[4], const int dstStrides[4]) {
    // The frames borrow the caller's memory: their buffer references free nothing, so the
    // scaler neither copies the source nor allocates a destination.
    av_frame_unref(srcFrame_);
    av_frame_unref(dstFrame_);
    srcFrame_->format = AV_PIX_FMT_BGR0;
    srcFrame_->width = srcWidth_;
    srcFrame_->height = srcHeight_;
    srcFrame_->data[0] = const_cast<uint8_t*>(src);
    srcFrame_->linesize[0] = srcStride;
    srcFrame_->buf[0] = av_buffer_create(const_cast<uint8_t*>(src), static_cast<size_t>(srcStride) * srcHeight_,
                                         noFree, nullptr, AV_BUFFER_FLAG_READONLY);
    dstFrame_->format = dstFormat_;
    dstFrame_->width = dstWidth_;
    dstFrame_->height = dstHeight_;
    for (int i = 0; i < 4; ++i) {
        dstFrame_->data[i] = dstPlanes[i];
        dstFrame_->linesize[i] = dstStrides[i];
    }
    dstFrame_->buf[0] = av_buffer_create(dstPlanes[0], 1, noFree, nullptr, 0);
    if (!srcFrame_->buf[0] || !dstFrame_->buf[0]) return false;
    int rc = sws_scale_frame(context_, dstFrame_, srcFrame_);
    av_frame_unref(srcFrame_);
    av_frame_unref(dstFrame_);
    return rc >= 0;
}

bool PixelConverter::convert(const uint8_t* src, int srcStride, const PlanarPicture& dst) {
    uint8_t* planes[4] = {dst.planes[0], dst.planes[1], dst.planes[2], nullptr};
    int strides[4] = {dst.strides[0], dst.strides[1], dst.strides[2], 0};
    return run(src, srcStride, planes, strides);
}

bool PixelConverter::scale(const uint8_t* src, int srcStride, PixelBuffer& dst) {
    if (dst.width() != dstWidth_ || dst.height() != dstHeight_) return false;
    uint8_t* planes[4] = {dst.baseAddress(), nullptr, nullptr, nullptr};
    int strides[4] = {dst.bytesPerRow(), 0, 0, 0};
    return run(src, srcStride, planes, strides);
}

} // namespace brindlet::platform
