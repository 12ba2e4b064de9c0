#include "platform/x11/ShmImage.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "platform/x11/XcbConnection.h"
#include "support/RecorderError.h"

namespace tessera {

bool ShmImage::isAvailable(xcb_connection_t* connection) {
    XcbReply<xcb_shm_query_version_reply_t> reply(
        xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr));
    return reply != nullptr;
}

ShmImage::ShmImage(xcb_connection_t* connection, std::size_t capacityPixels)
    : connection_(connection), capacityPixels_(capacityPixels) {
    const std::size_t bytes = capacityPixels * 4;
    if (!isAvailable(connection)) {
        memory_ = std::shared_ptr<std::uint8_t>(new std::uint8_t[bytes](),
                                                std::default_delete<std::uint8_t[]>());
        return;
    }
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        throw RecorderError(std::string("Can't allocate shared memory for screen capture: ") +
                            std::strerror(errno));
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        const int error = errno;
        shmctl(id, IPC_RMID, nullptr);
        throw RecorderError(std::string("Can't map shared memory for screen capture: ") +
                            std::strerror(error));
    }
    const auto segment = xcb_generate_id(connection);
    XcbReply<xcb_generic_error_t> error(
        xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, id, 0)));
    // Marked for removal now that both sides are attached: the kernel frees it
    // when the last of them detaches, even if this process dies.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
        shmdt(address);
        throw RecorderError("The X server refused the shared-memory segment for screen capture");
    }
    memory_ = std::shared_ptr<std::uint8_t>(static_cast<std::uint8_t*>(address),
                                            [](std::uint8_t* p) { shmdt(p); });
    segment_ = segment;
}

ShmImage::~ShmImage() {
    if (segment_ != 0) {
        xcb_shm_detach(connection_, segment_);
        xcb_flush(connection_);
    }
}

bool ShmImage::grab(xcb_drawable_t drawable, const PixelRect& area) {
    if (area.isEmpty() || static_cast<std::size_t>(area.width) * area.height > capacityPixels_) {
        return false;
    }
    if (segment_ != 0) {
        XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            connection_,
            xcb_shm_get_image(connection_, drawable, static_cast<std::int16_t>(area.x),
                              static_cast<std::int16_t>(area.y),
                              static_cast<std::uint16_t>(area.width),
                              static_cast<std::uint16_t>(area.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
            nullptr));
        return reply && reply->size == static_cast<std::uint32_t>(area.width) * area.height * 4;
    }
    XcbReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                      static_cast<std::int16_t>(area.x), static_cast<std::int16_t>(area.y),
                      static_cast<std::uint16_t>(area.width),
                      static_cast<std::uint16_t>(area.height), ~0u),
        nullptr));
    const std::size_t bytes = static_cast<std::size_t>(area.width) * area.height * 4;
    if (!reply || static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) != bytes) {
        return false;
    }
    std::memcpy(memory_.get(), xcb_get_image_data(reply.get()), bytes);
    return true;
}

ShmFramePool::Slot* ShmFramePool::take(xcb_connection_t* connection, int width, int height,
                                       const PixelBuffer* ownedByCaller) {
    std::erase_if(slots_, [&](const Slot& slot) {
        return slot.frame->width != width || slot.frame->height != height;
    });
    Slot* callers = nullptr;
    for (auto& slot : slots_) {
        // Only the pool holds it: every sample that shared it is gone, and no
        // one can take a new reference without going through the pool.
        if (slot.frame.use_count() == 1) {
            return &slot;
        }
        if (slot.frame.get() == ownedByCaller && slot.frame.use_count() == 2) {
            callers = &slot;
        }
    }
    if (!callers && slots_.size() < maxFrames_) {
        Slot slot;
        slot.image =
            std::make_unique<ShmImage>(connection, static_cast<std::size_t>(width) * height);
        slot.frame =
            PixelBuffer::wrap(width, height, width * 4, slot.image->data(), slot.image->memory());
        slot.frame->alphaIsPadding = true;
        slots_.push_back(std::move(slot));
        return &slots_.back();
    }
    return callers;
}

}  // namespace tessera
