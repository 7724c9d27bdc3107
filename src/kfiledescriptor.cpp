#include "kfiledescriptor.h"

#include <unistd.h>

#include <cerrno>

KFileDescriptor::~KFileDescriptor() {
    const int error = errno;
    reset();
    errno = error;
}

void KFileDescriptor::reset(int fd) {
    if (m_fd != -1) ::close(m_fd);
    m_fd = fd;
}

bool KFileDescriptor::close() {
    const int fd = m_fd;
    m_fd = -1;
    return fd != -1 && ::close(fd) == 0;
}
