// Text built in a fixed buffer without the C library, so that a signal handler or an
// unhandled-exception filter can compose a log line while the heap may be broken.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::platform {

class FixedText {
public:
    FixedText(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    // Whatever does not fit is dropped.
    FixedText& Append(const char* text) {
        while (text && *text) Put(*text++);
        return *this;
    }
    FixedText& Decimal(std::uint64_t value, unsigned minimumDigits = 1) { return Digits(value, 10, minimumDigits); }
    FixedText& Hex(std::uint64_t value) {
        Append("0x");
        return Digits(value, 16, 1);
    }
    std::size_t size() const { return size_; }

private:
    void Put(char c) {
        if (size_ < capacity_) buffer_[size_++] = c;
    }
    FixedText& Digits(std::uint64_t value, unsigned base, unsigned minimumDigits) {
        char digits[24];
        unsigned count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && count < sizeof digits);
        while (count < minimumDigits && count < sizeof digits) digits[count++] = '0';
        while (count > 0) Put(digits[--count]);
        return *this;
    }

    char* buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

// "2026-12-08T08:47:57.123456Z [1234] ": UTC time from seconds since 1970 and the
// thread's ID. Dates by the civil-from-days algorithm, as the C library's may lock.
inline std::size_t FormatPrefix(char* buffer, std::size_t capacity, std::int64_t unixSeconds,
                                std::uint32_t microseconds, std::uint64_t threadId) {
    const std::int64_t days = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
    const std::int64_t secondOfDay = unixSeconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    FixedText text(buffer, capacity);
    text.Decimal(static_cast<std::uint64_t>(year), 4).Append("-").Decimal(month, 2).Append("-").Decimal(day, 2);
    text.Append("T").Decimal(secondOfDay / 3600, 2).Append(":").Decimal(secondOfDay / 60 % 60, 2);
    text.Append(":").Decimal(secondOfDay % 60, 2).Append(".").Decimal(microseconds, 6).Append("Z [");
    text.Decimal(threadId).Append("] ");
    return text.size();
}

}  // namespace velmora::platform
