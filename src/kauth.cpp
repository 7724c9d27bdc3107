#include "kauth.h"

KAuth& KAuth::instance() {
    static KAuth s_auth;
    return s_auth;
}

KAuth::KAuth() { init(); }

KAuth::~KAuth() {}

void KAuth::init() {}

std::string KAuth::codes() { return std::string(); }
