// The buffer a plug-in writes its type's display name into.
#pragma once

#include "types/records.h"

#include <velmora/types.h>

#include <array>
#include <string_view>

namespace velmora {

// Handed to GetServerTypeName as room for a record's name and its terminator. Zero-filled
// spare room behind that capacity takes what a careless plug-in writes past it; the name
// is read from the first 50 bytes at most, whatever the plug-in answers.
class TypeNameBuffer {
public:
    static constexpr VelmoraInt kCapacity = static_cast<VelmoraInt>(kRecordTextCapacity) + 1;

    char* data() { return bytes_.data(); }

    // The name the plug-in answered with: empty for an answer below 1, else cut at the
    // answered length, at the first zero and at a record's capacity, without leaving half
    // a double-byte code page 936 character at the end.
    std::string_view Name(VelmoraInt answered) const;

private:
    std::array<char, 256> bytes_{};
};

}  // namespace velmora
