#include "core/type_name_buffer.h"

#include <algorithm>
#include <cstddef>

namespace velmora {

namespace {

bool IsLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

}  // namespace

std::string_view TypeNameBuffer::Name(VelmoraInt answered) const {
    if (answered < 1) return {};
    const std::size_t limit = std::min(static_cast<std::size_t>(answered), kRecordTextCapacity);
    std::size_t end = 0;
    while (end < limit && bytes_[end] != '\0') {
        const std::size_t width = IsLeadByte(static_cast<unsigned char>(bytes_[end])) ? 2 : 1;
        // A lead byte whose trail byte is cut off or missing ends the name before it.
        if (width == 2 && (end + 1 >= limit || bytes_[end + 1] == '\0')) break;
        end += width;
    }
    return {bytes_.data(), end};
}

}  // namespace velmora
