// The checks of what discovery asks of a plug-in: its type ID, its type's name, its path.
#include "check.h"
#include "core/candidate_verdict.h"
#include "core/readable_text.h"
#include "entry_calls.h"
#include "terminal_text.h"

#include <algorithm>
#include <cstring>

namespace velmora::validate {

namespace {

std::string Answers(const VelmoraInt (&answers)[3]) {
    return std::to_string(answers[0]) + ", " + std::to_string(answers[1]) + " and " + std::to_string(answers[2]);
}

std::string DisplayNameSource(const ServerTypeRecord& record) {
    if (!GetTypeDisplayName(record.typeId).empty()) return "its built-in display name";
    const std::string_view name = record.displayName.View();
    if (!name.empty()) return "named \"" + ReadableDisplayName(name) + "\" by GetServerTypeName";
    return record.plugin->Has(EntryPoint::GetServerTypeName) ? "no display name (GetServerTypeName gave none)"
                                                             : "no display name (GetServerTypeName is not exported)";
}

// What the buffer holds once GetServerTypeName has written into it.
constexpr unsigned char kUnwritten = 0xA5;

}  // namespace

void CheckDiscovery(CheckContext& context, CheckRun& run) {
    const int rounds = context.level() >= 3 ? 2 : 1;
    ServerTypeRecordPtr record;
    for (int round = 0; round < rounds; ++round) {
        const std::string which = round == 0 ? "" : " of the second discovery";
        const CandidateReport report =
            ExamineCandidate(context.path(), context.name(), context.pluginPath(),
                             [&](const char* step) { run.Step(EntryPointOfStep(step), step + which, kLongCallMs); });
        switch (report.outcome) {
            case CandidateOutcome::Accepted: break;
            case CandidateOutcome::NoGetServerTypeID:
                return run.Fail("GetServerTypeID", "it exports no GetServerTypeID: the library passes it over (see export-names)");
            case CandidateOutcome::Fault:
                run.Taint();
                return run.Fail(EntryPointOfStep(report.faultedCall), std::string("a fault in ") + report.faultedCall + which +
                                                                          ": the library passes the plug-in over");
            default:
                return run.Fail("", DescribeCandidate(context.name(), report, ReadableDisplayName).detail);
        }
        const VelmoraInt(&answers)[3] = report.typeIdAnswers;
        if (!report.record->plugin->Has(EntryPoint::GetServerTypeID))
            return run.Fail("", "the file loaded once but not a second time: the library records it with type ID -1 "
                                "and no entry point");
        if (answers[0] != answers[1] || answers[1] != answers[2])
            return run.Fail("GetServerTypeID", "it answered " + Answers(answers) + which +
                                                   ": the type ID must be the same on every call (the third counts)");
        if (record && record->typeId != answers[2])
            return run.Fail("GetServerTypeID", "it answered " + std::to_string(record->typeId) + " in the first discovery and " +
                                                   std::to_string(answers[2]) + " in the second");
        record = report.record;
    }
    context.Keep(record);
    std::size_t exported = 0;
    for (std::size_t i = 0; i < kEntryPointCount; ++i) exported += record->plugin->Has(static_cast<EntryPoint>(i));
    run.Pass("type ID " + std::to_string(record->typeId) + " on all three calls" + (rounds > 1 ? " of both discoveries" : "") +
             ", " + DisplayNameSource(*record) + ", " + std::to_string(exported) + " of " +
             std::to_string(kEntryPointCount) + " entry points exported");
}

void CheckTypeName(CheckContext& context, CheckRun& run) {
    std::string why;
    const ServerTypeRecord* record = context.Plugin(run, why);
    if (!record) return run.Skip(why);
    const platform::Symbol entry = record->plugin->entries()[IndexOf(EntryPoint::GetServerTypeName)];
    if (!GetTypeDisplayName(record->typeId).empty())
        return run.Skip("type ID " + std::to_string(record->typeId) +
                        " has a built-in display name: the library never asks GetServerTypeName");
    if (!entry) return run.Skip("GetServerTypeName is not exported: the type is listed without a display name");

    Arguments arguments;
    std::vector<VelmoraInt> capacities = {51};
    std::string named;
    for (std::size_t i = 0; i < capacities.size(); ++i) {
        const VelmoraInt capacity = capacities[i];
        std::memset(arguments.typeName, kUnwritten, Arguments::kTypeNameBytes);
        arguments.typeNameCapacity = capacity;
        const std::string given = "a capacity of " + std::to_string(capacity);
        run.Step("GetServerTypeName", "GetServerTypeName with " + given, kLongCallMs);
        const CallResult result = CallEntryPoint(entry, EntryPoint::GetServerTypeName, arguments);
        if (!result.completed) {
            run.Taint();
            run.Avoid("GetServerTypeName");
            return run.Fail("GetServerTypeName", "a fault with " + given);
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(arguments.typeName);
        std::size_t end = Arguments::kTypeNameBytes;
        while (end > 0 && bytes[end - 1] == kUnwritten) --end;
        const std::size_t zero = std::find(bytes, bytes + capacity, 0) - bytes;
        if (end > static_cast<std::size_t>(capacity))
            run.Fail("GetServerTypeName", "it wrote " + std::to_string(end) + " bytes, " +
                                              std::to_string(end - static_cast<std::size_t>(capacity)) +
                                              " past " + given + " (the terminator counts)");
        else if (result.result >= 1 && zero == static_cast<std::size_t>(capacity))
            run.Fail("GetServerTypeName", "its name has no terminating zero within " + given);
        else if (result.result >= 1 && static_cast<std::size_t>(result.result) != zero)
            run.Fail("GetServerTypeName", "it answered " + std::to_string(result.result) + " with " + given +
                                              ", but the name it wrote is " + std::to_string(zero) + " bytes long");
        if (run.failed()) return;
        // From level 4, capacities one byte short of the name and with room for the terminator only.
        if (i == 0 && result.result >= 1) {
            named = "\"" + ReadableDisplayName(std::string_view(arguments.typeName, zero)) + "\" (" + std::to_string(zero) +
                    " bytes)";
            if (context.level() >= 4) capacities.insert(capacities.end(), {static_cast<VelmoraInt>(zero), 1});
        }
    }
    run.Pass(named.empty() ? "it answered below 1, no name, and wrote within the capacity of 51"
                           : "it wrote " + named + " zero-terminated within a capacity of 51 and answered its length" +
                                 (capacities.size() > 1 ? "; with capacities too small for it, it kept within them" : ""));
}

void CheckSetPath(CheckContext& context, CheckRun& run) {
    std::string why;
    const ServerTypeRecord* record = context.Plugin(run, why);
    if (!record) return run.Skip(why);
    const TServerTypeDLL& plugin = *record->plugin;
    const platform::Symbol entry = plugin.entries()[IndexOf(EntryPoint::SetPath)];
    if (!entry) return run.Skip("SetPath is not exported");

    // First with a text that stays valid: a call that faults then faults for reasons of its own.
    Arguments arguments;
    arguments.text = context.pluginPath().c_str();
    std::string faulted;
    const auto noteFault = [&](EntryPoint which, const CallResult& result) {
        if (!result.completed) faulted = NameOf(which);
    };
    if (!CallInTurn(context, plugin, run, HostOrder(), arguments, noteFault, ", SetPath's text still valid"))
        return run.Fail(faulted, "a fault with harmless arguments, while SetPath's text was still valid");

    platform::RevocablePages pages(context.pluginPath().size() + 1);
    if (!pages.data()) return run.Skip("no memory could be had for the text");
    std::memcpy(pages.data(), context.pluginPath().c_str(), context.pluginPath().size() + 1);
    arguments.text = pages.data();
    run.Step("SetPath", "SetPath with a text made unreadable once it returns", kLongCallMs);
    if (!CallEntryPoint(entry, EntryPoint::SetPath, arguments).completed) {
        run.Taint();
        run.Avoid("SetPath");
        return run.Fail("SetPath", "a fault in SetPath");
    }
    if (!pages.Revoke()) return run.Skip("the text's memory could not be made unreadable");
    std::vector<EntryPoint> after = HostOrder();
    after.erase(std::find(after.begin(), after.end(), EntryPoint::SetPath));
    if (!CallInTurn(context, plugin, run, after, arguments, noteFault, " after SetPath's text was made unreadable"))
        return run.Fail("SetPath", faulted + " faulted once SetPath's text was made unreadable: the plug-in kept the "
                                             "text's address, valid during SetPath only; copy the text instead");
    // Later checks of this process find the plug-in with a path it may keep.
    arguments.text = context.pluginPath().c_str();
    run.Step("SetPath", "SetPath with a valid text again", kLongCallMs);
    if (!CallEntryPoint(entry, EntryPoint::SetPath, arguments).completed) {
        run.Taint();
        run.Avoid("SetPath");
        return run.Fail("SetPath", "a fault in SetPath");
    }
    run.Pass("once SetPath had returned, its text was made unreadable and every other entry point ran without "
             "reading it");
}

}  // namespace velmora::validate
