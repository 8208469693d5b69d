// What the library and its helper process say to each other over the helper's channel.
//
// The library sends one request before the helper loads anything: a key for this run, the
// directory, the SetPath text and the files to examine, in the order the library's own
// scan will load them. The helper examines each file as discovery does and reports, one
// line at a time:
//   H          it has read the request and starts
//   B <i>      it begins file i
//   S <n>      the step it starts, as its place in kExaminationSteps
//   V <i>      every call of file i returned
//   F <i> <k>  file i did something the host must not meet again although the guard
//              contained it (a stack overflow; a fault or abort() while being loaded); the
//              helper ends
//   D <how>    last words: how plug-in code is ending the process (aborted, an exit
//              status, a signal, and whether the process raised it itself)
//   E          every file is done
// Every line ends in a mark made from the run's key, the line's number in the report and
// its text. The plug-in runs inside the helper and may write anything anywhere: a line
// without the right mark, out of order, too long or in too great a number breaks the
// report, and the file being examined is then condemned. Only the helper knows the key,
// so a good verdict can only come from the helper having seen every call return.
//
// Nothing the helper sends is shown as it is: the library words every cause itself from
// the codes above.
#pragma once

#include "platform/process.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::report {

constexpr std::size_t kKeyBytes = 16;
using Key = std::array<unsigned char, kKeyBytes>;

// Longest line either side writes, its end included; and the most lines one file may take.
constexpr std::size_t kLongestLine = 128;
constexpr std::size_t kMostLinesPerFile = 16;

struct Request {
    Key key{};
    std::string directory;
    std::string pluginPath;
    std::vector<std::string> names;
};

std::string SerialiseRequest(const Request& request);

// The key as a request carries it, 32 hexadecimal digits; and such a text back to the key.
std::string KeyText(const Key& key);
bool ParseKeyText(std::string_view text, Key& key);

enum class RequestState { Incomplete, Malformed, Complete };
// Reads the request at the front of text (the helper side); Complete fills request.
RequestState ParseRequest(std::string_view text, Request& request);

// What ends a helper that reports its last words (code: the exit status, or the signal).
using Ending = platform::ReportChannel::OwnEnding;
// What the host must not meet again, although the helper's guard contained it.
enum class Misdeed : std::uint8_t { StackOverflow, FaultWhileLoading, AbortWhileLoading };

struct Event {
    enum class Kind { Hello, Begin, Step, Examined, Misdeed, LastWords, End };
    Kind kind = Kind::Hello;
    std::size_t file = 0;         // Begin, Examined, Misdeed
    const char* step = nullptr;   // Step: one of kExaminationSteps
    Misdeed misdeed = Misdeed::StackOverflow;
    Ending ending = Ending::Aborted;
    int code = 0;                 // LastWords
};

// Follows a report from its first byte: checks every line's mark, number and place, and
// hands out what the complete lines say. Holds at most one unfinished line.
class ReportReader {
public:
    ReportReader(const Key& key, std::size_t fileCount) : key_(key), fileCount_(fileCount) {}

    // Takes the next bytes; appends the events of the lines they complete. False once the
    // report is broken: everything after that is refused too.
    bool Take(std::string_view bytes, std::vector<Event>& events);

    bool broken() const { return broken_; }
    // The file begun and not yet done, or fileCount when none is.
    std::size_t current() const { return inFile_ ? next_ : fileCount_; }
    // The next file to begin.
    std::size_t next() const { return next_; }

private:
    bool TakeLine(std::string_view line, std::vector<Event>& events);
    bool Break() {
        broken_ = true;
        return false;
    }

    Key key_;
    std::size_t fileCount_;
    std::string pending_;
    std::uint32_t lineNumber_ = 0;
    bool hello_ = false;
    bool inFile_ = false;
    bool ended_ = false;  // E, F or last words: the helper is finishing
    std::size_t next_ = 0;
    std::size_t linesOfFile_ = 0;
    bool broken_ = false;
};

// Composes the helper's lines. Compose allocates nothing and takes no lock, so a signal
// handler may use it; it answers the length of the line (end included) in buffer.
class ReportWriter {
public:
    explicit ReportWriter(const Key& key) : key_(key) {}

    std::size_t Compose(const char* text, char (&buffer)[kLongestLine]) noexcept;
    std::string Line(const std::string& text);

private:
    Key key_;
    // A signal handler's line may come between two of the main thread's: each still gets
    // a number of its own, and a report whose lines then arrive out of order is broken.
    std::atomic<std::uint32_t> lineNumber_{0};
};

// The mark of a line: 16 hexadecimal digits.
void Mark(const Key& key, std::uint32_t lineNumber, std::string_view text, char (&mark)[16]) noexcept;
// The text of a marked line ("<text> <mark>", without its end); false when the line has no
// mark, or not the one made for lineNumber.
bool MarkedText(const Key& key, std::uint32_t lineNumber, std::string_view line, std::string_view& text) noexcept;

}  // namespace velmora::report
