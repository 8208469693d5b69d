// The helper's report as the library reads it: arbitrary bytes, lines marked for the run
// (so that the fuzzer gets past the marks to the order of the lines), and whole reports as
// the helper writes them, cut anywhere. Also the request as the helper reads it.
//
// Input: a first byte; bit 7 set: a good report over (byte & 7) files, each file's steps
// and the cuts taken from the rest of the input; otherwise (byte & 7) files and then pieces,
// each a byte: bit 7 set, a line that the harness marks (a length byte, at most byte & 63,
// and its bytes); clear, raw bytes (a length byte, at most byte & 127, and the bytes).
//
// Checks: the reader never believes anything after it once refused; what it hands out is
// in the only order a helper can say it (hello first, each file begun, stepped and done in
// turn, the end only after every file, nothing but last words after the end, a misdeed or
// last words); a good report, however cut, is read whole. A request the helper reads back
// reads the same when written again.
#include "harness.h"

#include "core/report_channel.h"
#include "core/server_types.h"

#include <string>
#include <vector>

using namespace velmora;
using velmora::fuzz::Input;
using Kind = report::Event::Kind;

namespace {

const report::Key kKey{0x56, 0x4c, 0x4d};

// Follows the events as a helper's report must order them.
class OrderCheck {
public:
    explicit OrderCheck(std::size_t files) : files_(files) {}

    void See(const report::Event& event) {
        FUZZ_CHECK(!ended_ || event.kind == Kind::LastWords, "a line after the end");
        FUZZ_CHECK(hello_ || event.kind == Kind::Hello, "a line before hello");
        switch (event.kind) {
            case Kind::Hello: FUZZ_CHECK(!hello_, "hello twice"); hello_ = true; break;
            case Kind::Begin:
                FUZZ_CHECK(!inFile_ && event.file == done_ && done_ < files_, "a file begun out of turn");
                inFile_ = true;
                break;
            case Kind::Step: FUZZ_CHECK(inFile_ && event.step, "a step outside a file"); break;
            case Kind::Examined:
                FUZZ_CHECK(inFile_ && event.file == done_, "a file done out of turn");
                inFile_ = false;
                ++done_;
                break;
            case Kind::Misdeed: FUZZ_CHECK(inFile_ && event.file == done_, "a misdeed outside its file"); ended_ = true; break;
            case Kind::LastWords: ended_ = true; break;
            case Kind::End: FUZZ_CHECK(!inFile_ && done_ == files_, "the end before every file"); ended_ = true; break;
        }
    }
    std::size_t done() const { return done_; }

private:
    std::size_t files_;
    bool hello_ = false, inFile_ = false, ended_ = false;
    std::size_t done_ = 0;
};

void Feed(report::ReportReader& reader, OrderCheck& order, bool& refused, const std::string& bytes) {
    std::vector<report::Event> events;
    const bool taken = reader.Take(bytes, events);
    FUZZ_CHECK(!(refused && (taken || !events.empty())), "something believed after a refusal");
    for (const report::Event& event : events) order.See(event);
    refused = refused || !taken;
}

void GoodReport(Input& input, std::size_t files) {
    report::ReportWriter writer(kKey);
    std::string text = writer.Line("H");
    for (std::size_t file = 0; file < files; ++file) {
        text += writer.Line("B " + std::to_string(file));
        for (int steps = input.Byte() % 7; steps > 0; --steps)
            text += writer.Line("S " + std::to_string(input.Byte() % kExaminationStepCount));
        text += writer.Line("V " + std::to_string(file));
    }
    text += writer.Line("E");
    report::ReportReader reader(kKey, files);
    OrderCheck order(files);
    bool refused = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t piece = 1 + input.Byte() % 64;
        Feed(reader, order, refused, text.substr(at, piece));
        at += piece;
    }
    FUZZ_CHECK(!refused && order.done() == files, "a good report refused");
}

void AnyReport(Input& input, std::size_t files) {
    report::ReportReader reader(kKey, files);
    OrderCheck order(files);
    bool refused = false;
    std::uint32_t marked = 0;
    while (!input.done()) {
        const std::uint8_t piece = input.Byte();
        if (piece & 0x80) {
            const std::string text = input.Text(piece & 63);
            char mark[16];
            report::Mark(kKey, marked++, text, mark);
            Feed(reader, order, refused, text + " " + std::string(mark, sizeof mark) + "\n");
        } else {
            Feed(reader, order, refused, input.Text(piece & 127));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    report::Request request;
    if (report::ParseRequest(std::string(reinterpret_cast<const char*>(data), size), request) ==
        report::RequestState::Complete) {
        report::Request again;
        FUZZ_CHECK(report::ParseRequest(report::SerialiseRequest(request), again) == report::RequestState::Complete &&
                       again.key == request.key && again.directory == request.directory &&
                       again.pluginPath == request.pluginPath && again.names == request.names,
                   "a request read back differs");
    }
    Input input(data, size);
    const std::uint8_t first = input.Byte();
    if (first & 0x80) GoodReport(input, first & 7);
    else AnyReport(input, first & 7);
    return 0;
}
