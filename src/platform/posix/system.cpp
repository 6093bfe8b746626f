// Last error, error texts, the module path and the program's own files.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/handles.h"

namespace {

thread_local DWORD t_lastError = 0;

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer);
// these overloads take whichever the C library provides.
[[maybe_unused]] const char *ErrorText(int result, const char *buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char *ErrorText(const char *text, const char *) { return text; }

}  // namespace

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

BOOL FailWith(int error) {
    SetLastError(static_cast<DWORD>(error));
    return FALSE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void *) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) return FailWith(EINVAL);
    char scratch[256];
    const char *text = ErrorText(strerror_r(static_cast<int>(messageId), scratch, sizeof scratch),
                                 scratch);
    // The C library makes up "Unknown error N" for numbers it has no text
    // for; the caller is told there is none, as Windows does.
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
        return FailWith(ENOENT);
    }
    std::size_t length = std::strlen(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char *copy = static_cast<char *>(std::malloc(length + 1));
        if (copy == nullptr) return FailWith(ENOMEM);
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char **>(buffer) = copy;
        return static_cast<DWORD>(length);
    }
    if (buffer == nullptr || size <= length) return FailWith(ERANGE);
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size) {
    if (module != nullptr || filename == nullptr || size == 0) return FailWith(EINVAL);
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        filename[0] = '\0';
        return FailWith(errno);
    }
    // Cut to fit and always terminated, as Windows does from Vista on.
    std::size_t copied = static_cast<std::size_t>(length);
    if (copied > size - 1) copied = size - 1;
    std::memcpy(filename, path, copied);
    filename[copied] = '\0';
    return static_cast<DWORD>(copied);
}

FILE *OpenFileStream(const char *path, const char *mode) {
    const bool forReading = mode[0] == 'r';
    int flags = (forReading ? O_RDWR : O_WRONLY | O_CREAT | O_TRUNC) | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags, 0666);
    if (fd < 0) return nullptr;
    struct stat file;
    int error = 0;
    if (fstat(fd, &file) != 0) {
        error = errno;
    } else if (forReading && !S_ISREG(file.st_mode)) {
        error = EINVAL;
    } else {
        // Writes then wait for a slow reader as they would for a slow disk.
        int status = fcntl(fd, F_GETFL);
        if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) error = errno;
    }
    FILE *stream = error ? nullptr : fdopen(fd, mode);
    if (stream == nullptr) {
        if (error == 0) error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}
