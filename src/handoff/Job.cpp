#include "handoff/Job.h"

#include <charconv>
#include <cstdio>

#include "platform/Clock.h"

namespace handoff {
namespace {

// FNV-1a: a name for a text, not a secret; 64 bits keep names of different texts apart.
std::string ShortHash(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

// Values may hold any byte but a line end: commands and paths are kept exactly as given.
void AppendField(std::string& text, std::string_view name, std::string_view value) {
    text.append(name).push_back('=');
    for (const char c : value) {
        if (c == '\\') {
            text += "\\\\";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else {
            text.push_back(c);
        }
    }
    text.push_back('\n');
}

std::string Unescaped(std::string_view value) {
    std::string plain;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            plain.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
        } else {
            plain.push_back(value[i]);
        }
    }
    return plain;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size();
}

std::string Formatted(std::int64_t utcSeconds, const char* format) {
    const platform::CalendarTime t = platform::UtcCalendar(utcSeconds);
    char text[32];
    std::snprintf(text, sizeof text, format, unsigned(t.year), unsigned(t.month), unsigned(t.day),
                  unsigned(t.hour), unsigned(t.minute), unsigned(t.second));
    return text;
}

}  // namespace

std::string Target::Key() const {
    return ShortHash((kind == Kind::Folder ? "folder\n" : "command\n") + where);
}

std::string JobId(const FileFacts& file, const Target& target) {
    // The file's own name orders the files of one second as the store numbered them; anything
    // but letters, digits, '-' and '_' is left out of it, since the name of an added file can
    // be anything.
    std::string stem;
    for (const char c : file.name.substr(0, file.name.rfind('.'))) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (plain && stem.size() < 40) {
            stem.push_back(c);
        }
    }
    // The last write's fraction of a second orders the files of one second as they came.
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%07u", unsigned(file.lastWrite % 10000000));
    return Formatted(file.received, "%04u%02u%02u%02u%02u%02u") + fraction + "-" + stem + "-" +
           ShortHash(file.path) + "-" + target.Key();
}

std::string ListTime(std::int64_t utcSeconds) {
    return Formatted(utcSeconds, "%04u-%02u-%02u %02u:%02u:%02u");
}

std::string IsoTime(std::int64_t utcSeconds) {
    return Formatted(utcSeconds, "%04u-%02u-%02uT%02u:%02u:%02uZ");
}

std::string TargetText(const Target& target) {
    std::string text;
    AppendField(text, target.kind == Target::Kind::Folder ? "folder-target" : "command-target",
                target.where);
    return text;
}

std::vector<Target> ParseTargets(std::string_view text) {
    std::vector<Target> targets;
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;
         text.remove_prefix(end + 1)) {
        const std::string_view line = text.substr(0, end);
        const std::size_t equals = line.find('=');
        const std::string_view name = line.substr(0, equals);
        if (equals != std::string_view::npos &&
            (name == "folder-target" || name == "command-target")) {
            targets.push_back(
                {name == "folder-target" ? Target::Kind::Folder : Target::Kind::Command,
                 Unescaped(line.substr(equals + 1))});
        }
    }
    return targets;
}

std::string JobText(const Job& job) {
    std::string text = TargetText(job.target);
    AppendField(text, "file", job.file.path);
    AppendField(text, "serial", job.file.serial);
    AppendField(text, "folder", job.file.folder);
    AppendField(text, "name", job.file.name);
    AppendField(text, "size", std::to_string(job.file.size));
    AppendField(text, "sha256", job.file.sha256);
    AppendField(text, "received", std::to_string(job.file.received));
    AppendField(text, "last-write", std::to_string(job.file.lastWrite));
    AppendField(text, "state", job.failed ? "failed" : "waiting");
    AppendField(text, "attempts", std::to_string(job.attempts));
    AppendField(text, "next-try", std::to_string(job.nextTry));
    AppendField(text, "last-error", job.lastError);
    // Written last: a file cut short by a crash lacks it and is not taken for a job.
    text += "end\n";
    return text;
}

std::optional<Job> ParseJob(std::string_view id, std::string_view text) {
    Job job;
    job.id = id;
    bool haveTarget = false;
    bool ended = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line == "end") {
            ended = true;
            break;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view name = line.substr(0, equals);
        const std::string value = Unescaped(line.substr(equals + 1));
        bool good = true;
        if (name == "folder-target" || name == "command-target") {
            job.target.kind =
                name == "folder-target" ? Target::Kind::Folder : Target::Kind::Command;
            job.target.where = value;
            haveTarget = true;
        } else if (name == "file") {
            job.file.path = value;
        } else if (name == "serial") {
            job.file.serial = value;
        } else if (name == "folder") {
            job.file.folder = value;
        } else if (name == "name") {
            job.file.name = value;
        } else if (name == "size") {
            good = ParseNumber(value, job.file.size);
        } else if (name == "sha256") {
            job.file.sha256 = value;
        } else if (name == "received") {
            good = ParseNumber(value, job.file.received);
        } else if (name == "last-write") {
            good = ParseNumber(value, job.file.lastWrite);
        } else if (name == "state") {
            job.failed = value == "failed";
        } else if (name == "attempts") {
            good = ParseNumber(value, job.attempts);
        } else if (name == "next-try") {
            good = ParseNumber(value, job.nextTry);
        } else if (name == "last-error") {
            job.lastError = value;
        }
        // Names a later version adds are passed over.
        if (!good) {
            return std::nullopt;
        }
    }
    if (!ended || !haveTarget || job.file.path.empty() || job.file.name.empty()) {
        return std::nullopt;
    }
    return job;
}

}  // namespace handoff
