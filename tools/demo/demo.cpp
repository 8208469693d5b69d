// A small host: initialises Velmora over a folder of plug-ins and prints the server-type
// table it discovered.
#include "core/server_manager.h"

#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

// Display names are code-page-936 bytes; terminals want UTF-8.
std::string ToUtf8(std::string_view cp936) {
    if (cp936.empty()) return {};
#if defined(_WIN32)
    const int wide = MultiByteToWideChar(936, 0, cp936.data(), int(cp936.size()), nullptr, 0);
    std::wstring utf16(wide, L'\0');
    MultiByteToWideChar(936, 0, cp936.data(), int(cp936.size()), utf16.data(), wide);
    const int narrow = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(narrow, '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, utf8.data(), narrow, nullptr, nullptr);
    return utf8;
#else
    iconv_t converter = iconv_open("UTF-8", "CP936");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(cp936);
    std::string in(cp936), out(cp936.size() * 3, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    out.resize(out.size() - outLeft);
    return out;
#endif
}

void SetShortString(unsigned char (&field)[256], const std::string& text) {
    const std::size_t length = text.size() < 255 ? text.size() : 255;
    field[0] = static_cast<unsigned char>(length);
    std::memcpy(field + 1, text.data(), length);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PLUGIN-DIRECTORY\n", argv[0]);
        return 2;
    }
    VelmoraInitParams params{};
    SetShortString(params.pluginPath, argv[1]);
    SetShortString(params.pluginDirectory, argv[1]);

    velmora::ServerManager manager;
    std::printf("Initialising over %s\n", argv[1]);
    manager.InitSvManage(&params, 0);
    std::printf("Plug-ins found in %s\n", manager.pluginDirectory().c_str());
    std::printf("%-8s %-24s %s\n", "type ID", "display name", "file");
    const auto table = manager.serverTypes();
    for (const auto& record : *table) {
        const std::string name = ToUtf8(record->displayName.View());
        std::printf("%-8d %-24s %.*s\n", record->typeId, name.empty() ? "(none)" : name.c_str(),
                    int(record->fileName.length), record->fileName.text);
    }
    manager.DeInitSvManage();
    return table->empty() ? 1 : 0;
}
