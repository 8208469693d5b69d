#include "core/report_channel.h"

#include "core/candidate_screening.h"
#include "core/server_types.h"
#include "platform/signal_safe_text.h"

#include <cstring>

namespace velmora::report {

namespace {

constexpr char kRequestHeader[] = "velmora-scan-request 1\n";
// A request past this size is refused: no folder holds that many candidates.
constexpr std::size_t kLargestRequest = 16 * 1024 * 1024;

const char kDigits[] = "0123456789abcdef";

// A whole decimal number below limit, without sign or leading zeros.
bool ParseIndex(std::string_view text, std::size_t limit, std::size_t& value) {
    if (text.empty() || text.size() > 9 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value < limit;
}

}  // namespace

void Mark(const Key& key, std::uint32_t lineNumber, std::string_view text, char (&mark)[16]) noexcept {
    // FNV-1a over the key, the line's number and its text: no secret from a determined
    // reader of the helper's memory, but beyond the reach of anything writing by chance.
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 0x100000001b3ull; };
    for (const unsigned char byte : key) mix(byte);
    for (int shift = 0; shift < 32; shift += 8) mix(static_cast<unsigned char>(lineNumber >> shift));
    for (const char c : text) mix(static_cast<unsigned char>(c));
    for (int i = 15; i >= 0; --i) {
        mark[i] = kDigits[hash & 15];
        hash >>= 4;
    }
}

bool MarkedText(const Key& key, std::uint32_t lineNumber, std::string_view line, std::string_view& text) noexcept {
    if (line.size() < 18 || line[line.size() - 17] != ' ') return false;
    char mark[16];
    Mark(key, lineNumber, line.substr(0, line.size() - 17), mark);
    if (line.substr(line.size() - 16) != std::string_view(mark, sizeof mark)) return false;
    text = line.substr(0, line.size() - 17);
    return true;
}

std::string KeyText(const Key& key) {
    std::string text;
    for (const unsigned char byte : key) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

bool ParseKeyText(std::string_view text, Key& key) {
    std::string bytes;
    if (!DecodeText("x" + std::string(text), bytes) || bytes.size() != kKeyBytes) return false;
    std::memcpy(key.data(), bytes.data(), kKeyBytes);
    return true;
}

std::string SerialiseRequest(const Request& request) {
    std::string text = kRequestHeader;
    text += "K " + KeyText(request.key);
    text += "\nD " + EncodeText(request.directory) + "\nP " + EncodeText(request.pluginPath) + "\n";
    for (const std::string& name : request.names) text += "N " + EncodeText(name) + "\n";
    return text + "G\n";
}

RequestState ParseRequest(std::string_view text, Request& request) {
    const std::string_view header = kRequestHeader;
    if (text.size() < header.size()) return header.substr(0, text.size()) == text ? RequestState::Incomplete
                                                                                   : RequestState::Malformed;
    if (text.substr(0, header.size()) != header) return RequestState::Malformed;
    Request read;
    std::size_t start = header.size();
    for (int field = 0;; ++field) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            return text.size() > kLargestRequest ? RequestState::Malformed : RequestState::Incomplete;
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line == "G") {
            if (field < 3 || start != text.size()) return RequestState::Malformed;
            request = std::move(read);
            return RequestState::Complete;
        }
        if (line.size() < 2 || line[1] != ' ') return RequestState::Malformed;
        const char expected = field == 0 ? 'K' : field == 1 ? 'D' : field == 2 ? 'P' : 'N';
        const std::string value(line.substr(2));
        if (line[0] != expected) return RequestState::Malformed;
        if (expected == 'K') {
            if (!ParseKeyText(value, read.key)) return RequestState::Malformed;
            continue;
        }
        std::string decoded;
        if (!DecodeText(value, decoded)) return RequestState::Malformed;
        if (expected == 'D') read.directory = std::move(decoded);
        else if (expected == 'P') read.pluginPath = std::move(decoded);
        else read.names.push_back(std::move(decoded));
    }
}

bool ReportReader::Take(std::string_view bytes, std::vector<Event>& events) {
    if (broken_) return false;
    for (const char c : bytes) {
        if (c != '\n') {
            // Longer than any line the helper writes: the rest is not waited for.
            if (pending_.size() + 1 >= kLongestLine) return Break();
            pending_ += c;
            continue;
        }
        const bool taken = TakeLine(pending_, events);
        pending_.clear();
        if (!taken) return Break();
    }
    return true;
}

bool ReportReader::TakeLine(std::string_view line, std::vector<Event>& events) {
    std::string_view text;
    if (!MarkedText(key_, lineNumber_++, line, text)) return false;
    if (ended_ && text[0] != 'D') return false;
    if (inFile_ && ++linesOfFile_ > kMostLinesPerFile) return false;

    const std::string_view rest = text.size() > 2 && text[1] == ' ' ? text.substr(2) : std::string_view{};
    if (text.size() != 1 && rest.empty()) return false;
    Event event;
    std::size_t index = 0;
    switch (text[0]) {
        case 'H':
            if (hello_ || text.size() != 1) return false;
            hello_ = true;
            event.kind = Event::Kind::Hello;
            break;
        case 'B':
            if (!hello_ || inFile_ || !ParseIndex(rest, fileCount_, index) || index != next_) return false;
            inFile_ = true;
            linesOfFile_ = 1;
            event = {Event::Kind::Begin, index};
            break;
        case 'S':
            if (!inFile_ || !ParseIndex(rest, kExaminationStepCount, index)) return false;
            event.kind = Event::Kind::Step;
            event.file = next_;
            event.step = kExaminationSteps[index];
            break;
        case 'V':
            if (!inFile_ || !ParseIndex(rest, fileCount_, index) || index != next_) return false;
            inFile_ = false;
            event = {Event::Kind::Examined, next_++};
            break;
        case 'F': {
            const std::size_t space = rest.find(' ');
            std::size_t misdeed = 0;
            if (!inFile_ || space == std::string_view::npos || !ParseIndex(rest.substr(0, space), fileCount_, index) ||
                index != next_ || !ParseIndex(rest.substr(space + 1), 3, misdeed))
                return false;
            ended_ = true;
            event = {Event::Kind::Misdeed, index};
            event.misdeed = static_cast<Misdeed>(misdeed);
            break;
        }
        case 'D': {
            const std::size_t space = rest.find(' ');
            std::size_t ending = 0, code = 0;
            if (!hello_ || space == std::string_view::npos || !ParseIndex(rest.substr(0, space), 4, ending) ||
                !ParseIndex(rest.substr(space + 1), 256, code))
                return false;
            ended_ = true;
            event.kind = Event::Kind::LastWords;
            event.file = current();
            event.ending = static_cast<Ending>(ending);
            event.code = static_cast<int>(code);
            break;
        }
        case 'E':
            if (!hello_ || inFile_ || text.size() != 1 || next_ != fileCount_) return false;
            ended_ = true;
            event.kind = Event::Kind::End;
            break;
        default: return false;
    }
    events.push_back(event);
    return true;
}

std::size_t ReportWriter::Compose(const char* text, char (&buffer)[kLongestLine]) noexcept {
    // The text, cut to leave room for the mark: the helper's own texts are far shorter.
    constexpr std::size_t kMarkRoom = 1 + 16 + 1;
    platform::FixedText line(buffer, sizeof buffer - kMarkRoom);
    const std::size_t size = line.Append(text).size();
    char mark[16];
    Mark(key_, lineNumber_.fetch_add(1, std::memory_order_relaxed), std::string_view(buffer, size), mark);
    buffer[size] = ' ';
    std::memcpy(buffer + size + 1, mark, sizeof mark);
    buffer[size + kMarkRoom - 1] = '\n';
    return size + kMarkRoom;
}

std::string ReportWriter::Line(const std::string& text) {
    char buffer[kLongestLine];
    return std::string(buffer, Compose(text.c_str(), buffer));
}

}  // namespace velmora::report
