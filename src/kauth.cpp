#include "kauth.h"

#include <sys/stat.h>

#include "kauthrunner.h"
#include "ktrace.h"
#include "kutil.h"

namespace {

const char AUTH_LIBRARY[] = "duduredaroz.so";

// Only a regular file (or a link to one) can be the library; without one no child is started.
bool isRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

KAuth& KAuth::instance() {
    static KAuth s_auth;
    return s_auth;
}

std::string KAuth::codes() {
    if (m_asked) return m_codes;
    m_asked = true;
    const std::string directory = KUtil::getAppDir();
    // Without the executable's directory there is no library to ask: a bare name would let the
    // loader search for one elsewhere.
    if (directory.empty()) {
        KTrace::event("authorization library: none, the executable's directory is unknown");
        return m_codes;
    }
    const std::string path = directory + AUTH_LIBRARY;
    if (!isRegularFile(path)) {
        KTrace::event("authorization library %s: absent", path.c_str());
        return m_codes;
    }
    m_codes = KAuthRunner::codes(path);
    return m_codes;
}
