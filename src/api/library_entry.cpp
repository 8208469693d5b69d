#include "api/library_state.h"

namespace velmora {

namespace {
// Created when the system loads the library and destroyed when it unloads it, records
// and plug-in objects included. Plug-in libraries stay loaded either way.
ServerManager manager;
}  // namespace

ServerManager& Manager() { return manager; }

}  // namespace velmora
