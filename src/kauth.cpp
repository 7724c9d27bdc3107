#include "kauth.h"

#include <dlfcn.h>

#include "kutil.h"

namespace {

const char AUTH_LIBRARY[] = "duduredaroz.so";

}  // namespace

KAuth& KAuth::instance() {
    // Built on first use and destroyed at normal exit, which unloads the library.
    static KAuth s_auth;
    return s_auth;
}

KAuth::KAuth() { init(); }

KAuth::~KAuth() {
    if (m_handle != nullptr) dlclose(m_handle);
}

void KAuth::init() {
    const std::string path = KUtil::getAppDir() + AUTH_LIBRARY;
    m_handle = dlopen(path.c_str(), RTLD_LAZY);
    if (m_handle == nullptr) return;
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    m_mList = reinterpret_cast<CodeFunction>(dlsym(m_handle, "mList"));
    m_sList = reinterpret_cast<CodeFunction>(dlsym(m_handle, "sList"));
}

std::string KAuth::codes() {
    // The product ships both entry points together; one alone means a damaged library.
    if (m_mList == nullptr || m_sList == nullptr) return std::string();
    std::string code = m_mList();
    if (!code.empty()) return code;
    return m_sList();
}
