#include "web/WebConfig.h"

#include "platform/FileSystem.h"
#include "web/Token.h"

bool ReadWebToken(const std::string& path, std::string& token, std::string& error) {
    const platform::SmallFile file = platform::ReadSmallFile(path, kMaxWebTokenFile);
    const std::string named = "the web token file " + path;
    if (!file.opened) {
        error = "cannot read " + named + ": " + file.error;
    } else if (!file.regular) {
        error = named + " is not a regular file";
    } else if (file.openToOthers) {
        // A secret others can read (or change) protects nothing.
        error = named + " is open to other users: chmod 600 it";
    } else if (!file.error.empty()) {
        error = "cannot read " + named + ": " + file.error;
    } else if (file.bytes.size() > kMaxWebTokenFile) {
        error = named + " is larger than 4 KB";
    }
    if (!error.empty()) {
        return false;
    }
    token = TokenFromText(file.bytes);
    if (token.empty()) {
        error = named + " holds no token";
        return false;
    }
    for (const char c : token) {
        if (!IsTokenCharacter(c)) {
            error = named +
                    " holds characters a cookie cannot carry: use printable ASCII without "
                    "blanks, ; , \" or \\";
            return false;
        }
    }
    return true;
}
