#include "MappedFile.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace VerdantaIO {

MappedFile::~MappedFile() { close(); }

#ifdef _WIN32
bool MappedFile::open(const std::string &path)
{
    close();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return false;
    }
    file_ = file;
    size_ = static_cast<uint64_t>(size.QuadPart);
    if (size_ == 0)
        return true;
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) {
        close();
        return false;
    }
    mapping_ = mapping;
    data_ = static_cast<const uint8_t *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (!data_) {
        close();
        return false;
    }
    return true;
}

void MappedFile::releaseResident() const { releaseResident(0, size_); }

void MappedFile::releaseResident(uint64_t offset, uint64_t length) const
{
    // Unlocking a range that is not locked takes its pages out of the
    // working set.
    if (!data_ || offset >= size_)
        return;
    length = std::min(length, size_ - offset);
    if (length)
        VirtualUnlock(const_cast<uint8_t *>(data_ + offset), static_cast<SIZE_T>(length));
}

void MappedFile::close()
{
    if (data_)
        UnmapViewOfFile(data_);
    if (mapping_)
        CloseHandle(static_cast<HANDLE>(mapping_));
    if (file_)
        CloseHandle(static_cast<HANDLE>(file_));
    data_ = nullptr;
    mapping_ = nullptr;
    file_ = nullptr;
    size_ = 0;
}
#else
bool MappedFile::open(const std::string &path)
{
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
    if (size_ == 0)
        return true;
    void *p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        close();
        return false;
    }
    data_ = static_cast<const uint8_t *>(p);
    return true;
}

void MappedFile::releaseResident() const { releaseResident(0, size_); }

void MappedFile::releaseResident(uint64_t offset, uint64_t length) const
{
    // A read-only file mapping: dropping its pages loses nothing. Only whole
    // pages inside the range go.
    if (!data_ || offset >= size_)
        return;
    length = std::min(length, size_ - offset);
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t begin = (offset + page - 1) / page * page, end = (offset + length) / page * page;
    if (end > begin)
        madvise(const_cast<uint8_t *>(data_ + begin), end - begin, MADV_DONTNEED);
}

void MappedFile::close()
{
    if (data_)
        munmap(const_cast<uint8_t *>(data_), size_);
    if (fd_ >= 0)
        ::close(fd_);
    data_ = nullptr;
    fd_ = -1;
    size_ = 0;
}
#endif

}  // namespace VerdantaIO
