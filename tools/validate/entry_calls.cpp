#include "entry_calls.h"

#include "plugin/fault_isolation.h"
#include "plugin/stdcall_probe.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

namespace velmora::validate {

namespace {

// Each entry point's parameter list as a plain function type, for the templates below.
namespace shapes {
#define VELMORA_VALIDATE_SHAPE(name, requirement, parameters) using name = void parameters;
VELMORA_ENTRY_POINTS(VELMORA_VALIDATE_SHAPE)
#undef VELMORA_VALIDATE_SHAPE
}  // namespace shapes

template <EntryPoint E>
struct ShapeOf;
#define VELMORA_VALIDATE_SHAPE_OF(name, requirement, parameters) \
    template <>                                                   \
    struct ShapeOf<EntryPoint::name> {                            \
        using Type = shapes::name;                                \
    };
VELMORA_ENTRY_POINTS(VELMORA_VALIDATE_SHAPE_OF)
#undef VELMORA_VALIDATE_SHAPE_OF

// What a 32-bit host pushes for a parameter: a word for every value and address, the
// block whole.
template <typename T>
constexpr int StackBytes32() {
    return std::is_pointer_v<T> || std::is_same_v<T, VelmoraWord> ? 4 : static_cast<int>((sizeof(T) + 3) / 4 * 4);
}

template <typename Shape>
struct Parameters;
template <typename... Types>
struct Parameters<void(Types...)> {
    using Values = std::tuple<Types...>;
    static constexpr int kBytes32 = (0 + ... + StackBytes32<Types>());
};

template <EntryPoint E>
using ValuesOf = typename Parameters<typename ShapeOf<E>::Type>::Values;

constexpr Role kRoles[] = {
    Role::LifeCycle,  // InitDLL
    Role::LifeCycle,  // DeInitDLL
    Role::LifeCycle,  // DeInitClient
    Role::Discovery,  // SetPath
    Role::Discovery,  // GetServerTypeID
    Role::Callback,   // SetSvMsgCallBack
    Role::PerServer,  // GetHeader
    Role::Registry,   // AddServer
    Role::Registry,   // DelServer
    Role::PerServer,  // ChangeServer
    Role::PerServer,  // GetSvChInfo
    Role::PerServer,  // ChangeChannel
    Role::PerServer,  // GetChannelInfo
    Role::PerServer,  // GetServerInfo
    Role::PerServer,  // LoadPreInfo
    Role::PerServer,  // GoToPreset
    Role::PerServer,  // DelPreset
    Role::PerServer,  // SetPreset
    Role::PerServer,  // GetProtocolInfo
    Role::LifeCycle,  // InitClient
    Role::PerServer,  // PTZControl
    Role::PerServer,  // StartGetVideoData
    Role::PerServer,  // StopGetVideoData
    Role::Registry,   // LoginServer
    Role::PerServer,  // GetCapFileList
    Role::PerServer,  // StartPlay
    Role::PerHandle,  // StopPlay
    Role::PerHandle,  // PlayCtrl
    Role::PerServer,  // StartCapture
    Role::PerHandle,  // StopCapture
    Role::Discovery,  // GetServerTypeName
};
static_assert(std::size(kRoles) == kEntryPointCount, "a role for every entry point");

template <typename T>
T ArgumentFor(EntryPoint which, std::size_t position, const Arguments& arguments) {
    // Told apart by position, not type: on the 32-bit build a word and an integer are one type.
    if constexpr (std::is_integral_v<T>) {
        const Role role = kRoles[IndexOf(which)];
        if (which == EntryPoint::SetSvMsgCallBack)
            return static_cast<T>(position == 0 ? arguments.callback : arguments.callbackUser);
        if (which == EntryPoint::GetServerTypeName) return static_cast<T>(arguments.typeNameCapacity);
        if (position == 0 && (role == Role::PerServer || role == Role::Registry)) return static_cast<T>(arguments.server);
        return static_cast<T>(arguments.Scratch(position));
    } else if constexpr (std::is_same_v<T, const char*>) {
        return arguments.text;
    } else if constexpr (std::is_same_v<T, char*>) {
        return arguments.typeName;
    } else if constexpr (std::is_same_v<T, void*>) {
        return reinterpret_cast<void*>(arguments.Scratch(position));
    } else {
        static_assert(std::is_same_v<T, VelmoraBlock24>, "a parameter type without a harmless value");
        return VelmoraBlock24{};
    }
}

template <EntryPoint E, std::size_t... Position>
ValuesOf<E> MakeValues(const Arguments& arguments, std::index_sequence<Position...>) {
    return ValuesOf<E>{ArgumentFor<std::tuple_element_t<Position, ValuesOf<E>>>(E, Position, arguments)...};
}

using Clock = std::chrono::steady_clock;

#if defined(_WIN32) && !defined(_WIN64)
// Zero words pushed beyond the arguments, so that an entry point that takes more arguments
// than the contract reads zeros rather than the caller's frame.
constexpr std::size_t kPaddingWords = 16;

template <typename Values>
std::vector<std::uint32_t> Words(const Values& values) {
    std::vector<std::uint32_t> words;
    std::apply(
        [&](const auto&... value) {
            const auto append = [&](const auto& one) {
                std::uint32_t chunk[(sizeof one + 3) / 4] = {};
                std::memcpy(chunk, &one, sizeof one);
                words.insert(words.end(), std::begin(chunk), std::end(chunk));
            };
            (append(value), ...);
            (void)append;  // an entry point without arguments
        },
        values);
    return words;
}
#endif

template <EntryPoint E>
CallResult Call(platform::Symbol entry, Arguments& arguments) {
    const ValuesOf<E> values = MakeValues<E>(arguments, std::make_index_sequence<std::tuple_size_v<ValuesOf<E>>>{});
    CallResult outcome;
    const auto start = Clock::now();
#if defined(_WIN32) && !defined(_WIN64)
    std::vector<std::uint32_t> words = Words(values);
    words.resize(words.size() + kPaddingWords, 0);
    StdcallProbe probe{};
    outcome.completed = RunIsolated([&] {
        probe = CallStdcall(reinterpret_cast<const void*>(entry), words.data(), static_cast<std::uint32_t>(words.size()));
    });
    outcome.result = probe.result;
    outcome.stackBytesOff = outcome.completed ? probe.stackDrift + static_cast<int>(kPaddingWords * 4) : 0;
#else
    const auto function = EntryFunction<E>(entry);
    VelmoraInt result = 0;
    outcome.completed = RunIsolated([&] { result = std::apply(function, values); });
    outcome.result = result;
#endif
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

constexpr std::size_t kParameterCounts[] = {
#define VELMORA_VALIDATE_COUNT(name, requirement, parameters) std::tuple_size_v<ValuesOf<EntryPoint::name>>,
    VELMORA_ENTRY_POINTS(VELMORA_VALIDATE_COUNT)
#undef VELMORA_VALIDATE_COUNT
};

using Caller = CallResult (*)(platform::Symbol, Arguments&);
constexpr Caller kCallers[] = {
#define VELMORA_VALIDATE_CALLER(name, requirement, parameters) &Call<EntryPoint::name>,
    VELMORA_ENTRY_POINTS(VELMORA_VALIDATE_CALLER)
#undef VELMORA_VALIDATE_CALLER
};

constexpr int kArgumentBytes[] = {
#define VELMORA_VALIDATE_BYTES(name, requirement, parameters) \
    Parameters<typename ShapeOf<EntryPoint::name>::Type>::kBytes32,
    VELMORA_ENTRY_POINTS(VELMORA_VALIDATE_BYTES)
#undef VELMORA_VALIDATE_BYTES
};



}  // namespace

Arguments::Arguments()
    : typeName(nullptr),
      scratch_(std::make_unique<std::array<char, kScratchBytes>[]>(kPositions)),
      typeNameBuffer_(std::make_unique<char[]>(kTypeNameBytes)) {
    typeName = typeNameBuffer_.get();
}

VelmoraWord Arguments::Scratch(std::size_t position) const {
    return reinterpret_cast<VelmoraWord>(scratch_[position < kPositions ? position : kPositions - 1].data());
}

void Arguments::ClearScratch(std::size_t positions) {
    for (std::size_t i = 0; i < positions && i < kPositions; ++i) scratch_[i].fill(0);
}

CallResult CallEntryPoint(platform::Symbol entry, EntryPoint which, Arguments& arguments) {
    return kCallers[IndexOf(which)](entry, arguments);
}

int ContractArgumentBytes(EntryPoint which) { return kArgumentBytes[IndexOf(which)]; }

std::size_t ParameterCount(EntryPoint which) { return kParameterCounts[IndexOf(which)]; }

Role RoleOf(EntryPoint which) { return kRoles[IndexOf(which)]; }

const char* NameOf(EntryPoint which) { return kEntryPoints[IndexOf(which)].name; }

const std::vector<EntryPoint>& PerServerCalls() {
    static const std::vector<EntryPoint> calls = [] {
        std::vector<EntryPoint> found;
        for (std::size_t i = 0; i < kEntryPointCount; ++i)
            if (kRoles[i] == Role::PerServer || kRoles[i] == Role::PerHandle) found.push_back(static_cast<EntryPoint>(i));
        return found;
    }();
    return calls;
}

const std::vector<EntryPoint>& LifeCycle() {
    static const std::vector<EntryPoint> calls = {EntryPoint::InitDLL, EntryPoint::InitClient, EntryPoint::DeInitClient,
                                                  EntryPoint::DeInitDLL};
    return calls;
}

const std::vector<EntryPoint>& HostOrder() {
    static const std::vector<EntryPoint> calls = [] {
        using E = EntryPoint;
        std::vector<E> order = {E::GetServerTypeID, E::SetPath,          E::GetServerTypeName, E::InitDLL,
                                E::InitClient,      E::SetSvMsgCallBack, E::AddServer};
        order.insert(order.end(), PerServerCalls().begin(), PerServerCalls().end());
        order.insert(order.end(), {E::LoginServer, E::DelServer, E::DeInitClient, E::DeInitDLL});
        return order;
    }();
    return calls;
}

bool CallInTurn(const CheckContext& context, const TServerTypeDLL& plugin, CheckRun& run,
                const std::vector<EntryPoint>& order, Arguments& arguments, const CallObserver& observe,
                const std::string& circumstance) {
    for (const EntryPoint which : order) {
        const platform::Symbol entry = plugin.entries()[IndexOf(which)];
        if (!entry) continue;
        if (context.Avoided(NameOf(which))) {
            run.LeftOut(NameOf(which));
            continue;
        }
        const Role role = RoleOf(which);
        arguments.server = which == EntryPoint::AddServer || which == EntryPoint::DelServer ? kServerAdded : kServerNeverAdded;
        arguments.ClearScratch(ParameterCount(which));
        run.Step(NameOf(which), NameOf(which) + circumstance,
                 role == Role::PerServer || role == Role::PerHandle ? kStalledMs : kLongCallMs);
        const CallResult result = CallEntryPoint(entry, which, arguments);
        if (observe) observe(which, result);
        if (!result.completed) {
            run.Avoid(NameOf(which));
            run.Taint();
            return false;
        }
    }
    return true;
}

std::string Seconds(double seconds) {
    char text[32];
    if (seconds < 0.001)
        return "under 1 ms";
    if (seconds < 1)
        std::snprintf(text, sizeof text, "%.0f ms", seconds * 1000);
    else if (seconds == static_cast<int>(seconds))
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    else
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace velmora::validate
