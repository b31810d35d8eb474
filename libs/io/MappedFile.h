#pragma once
// A read-only memory mapping of a whole file (POSIX mmap or Win32 views).

#include <cstddef>
#include <cstdint>
#include <string>

namespace VerdantaIO {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // Maps the file; false when it cannot be opened. An empty file maps to
    // a null pointer with size 0 and still counts as opened.
    bool open(const std::string &path);
    void close();

    const uint8_t *data() const { return data_; }
    uint64_t size() const { return size_; }

    // Lets the system take back the pages of the mapping that this process
    // holds resident; they are read again from the file (usually from the
    // page cache) when next touched. A long scan calls it now and then so
    // that its memory stays flat however large the file.
    void releaseResident() const;
    // The same for the whole pages within [offset, offset + length).
    void releaseResident(uint64_t offset, uint64_t length) const;

private:
    const uint8_t *data_ = nullptr;
    uint64_t size_ = 0;
#ifdef _WIN32
    void *file_ = nullptr;
    void *mapping_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace VerdantaIO
