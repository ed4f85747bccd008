#include "web/WebConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

namespace {

// Printable ASCII that a cookie value may carry unquoted.
bool CookieSafe(char c) {
    return c > ' ' && c < 127 && c != ';' && c != ',' && c != '"' && c != '\\';
}

}  // namespace

bool ReadWebToken(const std::string& path, std::string& token, std::string& error) {
    // Non-blocking, so a FIFO given by mistake cannot hold up the start; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot read the web token file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    std::string text(kMaxWebTokenFile + 1, '\0');
    ssize_t count = -1;
    const std::string named = "the web token file " + path;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = named + " is not a regular file";
    } else if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        // A secret others can read (or change) protects nothing.
        error = named + " is open to other users: chmod 600 it";
    } else if ((count = ::read(fd, text.data(), text.size())) < 0) {
        error = "cannot read the web token file " + path + ": " + std::strerror(errno);
    } else if (static_cast<std::size_t>(count) > kMaxWebTokenFile) {
        error = named + " is larger than 4 KB";
    }
    ::close(fd);
    if (!error.empty()) {
        return false;
    }
    text.resize(static_cast<std::size_t>(count));
    token = text.substr(0, text.find('\n'));
    const char* space = " \t\r\n";
    const std::size_t first = token.find_first_not_of(space);
    token.erase(0, first == std::string::npos ? token.size() : first);
    token.erase(token.find_last_not_of(space) + 1);
    if (token.empty()) {
        error = "the web token file " + path + " holds no token";
        return false;
    }
    for (const char c : token) {
        // The token travels in a cookie, which has no quoting for these.
        if (!CookieSafe(c)) {
            error = named +
                    " holds characters a cookie cannot carry: use printable ASCII without "
                    "blanks, ; , \" or \\";
            return false;
        }
    }
    return true;
}
