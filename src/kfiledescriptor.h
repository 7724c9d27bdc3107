#ifndef KFILEDESCRIPTOR_H
#define KFILEDESCRIPTOR_H

// Owns one descriptor (file, pipe or socket): closed when the owner goes, on every path. close()
// is separate from the destructor because its result can matter: a full disk may only show when
// the data is flushed.
class KFileDescriptor {
public:
    // Takes fd, which may be -1 (nothing owned), as open() and socket() give it.
    explicit KFileDescriptor(int fd = -1) : m_fd(fd) {}
    // Keeps errno, which tells the caller why the last call failed.
    ~KFileDescriptor();
    KFileDescriptor(const KFileDescriptor&) = delete;
    KFileDescriptor& operator=(const KFileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd != -1; }
    // Closes the descriptor owned so far and owns fd instead.
    void reset(int fd = -1);
    // Closes the descriptor now; false when closing it failed or nothing was owned.
    bool close();

private:
    int m_fd;
};

#endif
