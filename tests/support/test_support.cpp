#include "test_support.h"

#include "core/server_manager.h"
#include "journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace velmora::test {

namespace fs = std::filesystem;

std::string ExecutableDirectory() { return DirectoryPart(platform::ExecutablePath()); }

std::string PluginDirectory(const std::string& name) {
    return ExecutableDirectory() + "plugins" + platform::kPathSeparator + name;
}

std::string PluginFile(const std::string& directory, const std::string& file) {
    return PluginDirectory(directory) + platform::kPathSeparator + file;
}

std::vector<std::string> TagsInTableOrder(const std::string& directory) {
    std::vector<std::string> tags;
    const std::size_t extension = std::strlen(platform::kPluginExtension);
    for (const auto& record : ScanPluginDirectory(PluginDirectory(directory), "")) {
        const std::string name(record->fileName.View());
        tags.push_back(name.substr(5, name.size() - 5 - extension));
    }
    JournalClear();
    return tags;
}

VelmoraInitParams MakeParams(const std::string& pluginPath, const std::string& pluginDirectory) {
    VelmoraInitParams params{};
    const auto fill = [](unsigned char (&field)[256], const std::string& text) {
        if (text.size() > 255) throw std::length_error("a field holds 255 bytes");
        field[0] = static_cast<unsigned char>(text.size());
        std::memcpy(field + 1, text.data(), text.size());
    };
    fill(params.pluginPath, pluginPath);
    fill(params.pluginDirectory, pluginDirectory);
    return params;
}

std::vector<std::string> Journal() {
    std::vector<std::string> lines;
    std::istringstream text(JournalText());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Journal(const std::string& tag) {
    std::vector<std::string> lines;
    const std::string prefix = tag + ":";
    for (const std::string& line : Journal())
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}

namespace {

template <typename Function>
void Resolve(platform::ModuleHandle module, Function& function, const std::string& name) {
    function = reinterpret_cast<Function>(platform::FindSymbol(module, name.c_str()));
    if (!function) throw std::runtime_error("missing symbol " + name);
}

}  // namespace

LoadedVelmora::LoadedVelmora() {
    module_ = platform::OpenModule(ExecutableDirectory() + VELMORA_LIBRARY_FILE);
    if (!module_) throw std::runtime_error("cannot load " VELMORA_LIBRARY_FILE);
#define VELMORA_TEST_RESOLVE(name) Resolve(module_, name, "Velmora_" #name);
    VELMORA_TEST_EXPORTS(VELMORA_TEST_RESOLVE)
#undef VELMORA_TEST_RESOLVE
}

LoadedVelmora::~LoadedVelmora() { platform::CloseModule(module_); }

Recorder::Recorder(const std::string& directory, const std::string& file) {
    module_ = platform::OpenModule(PluginFile(directory, file + platform::kPluginExtension));
    if (!module_) throw std::runtime_error("cannot load fixture " + file);
    Resolve(module_, setResult_, "RecorderSetResult");
    Resolve(module_, rewriteLogin_, "RecorderRewriteLogin");
    void (*reset)() = nullptr;
    Resolve(module_, reset, "RecorderReset");
    reset();
}

Recorder::~Recorder() { platform::CloseModule(module_); }

PlacedPlugin::PlacedPlugin(const std::string& source, const std::string& directory,
                           const std::string& file)
    : path_(directory + platform::kPathSeparator + file) {
    fs::copy_file(source, path_, fs::copy_options::overwrite_existing);
}

PlacedPlugin::~PlacedPlugin() {
    std::error_code error;
    if (fs::remove(path_, error)) return;
    for (int n = 0;; ++n) {
        const std::string parked = path_ + ".parked" + std::to_string(n);
        if (!fs::exists(parked, error) && (fs::rename(path_, parked, error), !error)) return;
        if (n == 100) {
            ADD_FAILURE() << "cannot take " << path_ << " out of the way";
            return;
        }
    }
}

#if !defined(_WIN32)
namespace {

// More than an ELF header: the loader reads until it has a header's worth or the end, and
// while the FIFO has a writer, the end never comes.
const std::string kFifoContent(256, 'x');

}  // namespace

SpecialFilesFolder::SpecialFilesFolder() {
    std::string pattern = (fs::temp_directory_path() / "velmora-special-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    const std::string extension = platform::kPluginExtension;
    const std::string fifo = path_ + "/QXDVRFifo" + extension;
    // Held open for reading and writing, the FIFO has a writer, so opening it does not
    // block, and what was written stays in it until somebody reads.
    if (mkfifo(fifo.c_str(), 0600) != 0 || (fifo_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK)) < 0 ||
        write(fifo_, kFifoContent.data(), kFifoContent.size()) != static_cast<ssize_t>(kFifoContent.size()))
        throw std::runtime_error("cannot make the FIFO");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = path_ + "/QXDVRSocket" + extension;
    if (socketPath.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    socketPath.copy(address.sun_path, socketPath.size());
    if ((socket_ = socket(AF_UNIX, SOCK_STREAM, 0)) < 0 ||
        bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot make the socket");
    fs::create_symlink("/dev/null", path_ + "/QXDVRNull" + extension);
    fs::copy_file(PluginFile("types", "QXDVRType3" + extension), path_ + "/QXDVRType3" + extension);
}

SpecialFilesFolder::~SpecialFilesFolder() {
    if (fifo_ >= 0) close(fifo_);
    if (socket_ >= 0) close(socket_);
    std::error_code error;
    fs::remove_all(path_, error);
}

bool SpecialFilesFolder::FifoUnread() const {
    std::string content(kFifoContent.size() + 1, '\0');
    const ssize_t length = read(fifo_, content.data(), content.size());
    return length >= 0 && content.substr(0, static_cast<std::size_t>(length)) == kFifoContent;
}
#endif

}  // namespace velmora::test
