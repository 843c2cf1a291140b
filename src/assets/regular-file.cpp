#include "regular-file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openWithoutBlocking(const char* name)
{
    return open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

bool regularFileSize(int fd, size_t& size)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    size = static_cast<size_t>(info.st_size);
    return true;
}

bool isSpecialFile(const char* name)
{
    int fd = openWithoutBlocking(name);
    if (fd < 0)
        return false;
    size_t size = 0;
    bool regular = regularFileSize(fd, size);
    close(fd);
    return !regular;
}

bool readRegularFile(const char* name, size_t limit, std::vector<unsigned char>& bytes)
{
    int fd = openWithoutBlocking(name);
    if (fd < 0)
        return false;
    size_t size = 0;
    bool ok = regularFileSize(fd, size) && size <= limit;
    if (ok)
        bytes.resize(size);
    size_t done = 0;
    while (ok && done < size) {
        ssize_t got = read(fd, bytes.data() + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        // A file that shrank since its size was taken ends early.
        ok = got > 0;
        if (ok)
            done += static_cast<size_t>(got);
    }
    close(fd);
    return ok;
}

TextFile readTextFile(const char* name, char*& text)
{
    int fd = openWithoutBlocking(name);
    if (fd < 0)
        return TextFile::CannotOpen;
    FILE* f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return TextFile::CannotOpen;
    }
    size_t size = 0;
    char* data = nullptr;
    TextFile result = TextFile::Read;
    if (!regularFileSize(fd, size))
        result = TextFile::CannotRead;
    else if (!(data = static_cast<char*>(std::calloc(size + 1, 1))))
        result = TextFile::NoMemory;
    else if (std::fread(data, 1, size, f) != size)
        result = TextFile::CannotRead;
    std::fclose(f);
    if (result == TextFile::Read)
        text = data;
    else
        std::free(data);
    return result;
}
