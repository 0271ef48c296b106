#include "cli.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "device.h"
#include "text.h"

namespace callctl {

bool take_value(int argc, char** argv, int& i, const char* name, const char** value) {
    const size_t n = strlen(name);
    if (strncmp(argv[i], name, n) != 0) return false;
    if (argv[i][n] == '=')
        *value = argv[i] + n + 1;
    else if (argv[i][n] == '\0')
        *value = i + 1 < argc ? argv[++i] : nullptr;
    else
        return false;
    return true;
}

bool take_root(int argc, char** argv, int& i, bool* bad) {
    const char* dir = nullptr;
    if (!take_value(argc, argv, i, "--root", &dir)) return false;
    if (dir == nullptr || dir[0] == '\0') {
        fprintf(stderr, "callctl: --root needs a folder\n");
        *bad = true;
        return true;
    }
    dev::set_root(dir);
    return true;
}

int read_options(const char* sub, int argc, char** argv, const char* help, unsigned allowed, Options* opt,
                 const ValueOption* values) {
    *opt = Options();
    for (int i = 1; i < argc; i++) {
        bool bad = false;
        const char* a = argv[i];
        const ValueOption* v = values;
        const char* text = nullptr;
        while (v != nullptr && v->name != nullptr && !take_value(argc, argv, i, v->name, &text)) v++;
        if (v != nullptr && v->name != nullptr) {
            if (text == nullptr) return usage_error(sub, "%s needs a value (callctl %s --help)", v->name, sub);
            *v->text = text;
        } else if (take_root(argc, argv, i, &bad)) {
            if (bad) return 2;
        } else if ((allowed & kOptJson) && strcmp(a, "--json") == 0) {
            opt->json = true;
        } else if ((allowed & kOptQuiet) && (strcmp(a, "-q") == 0 || strcmp(a, "--quiet") == 0)) {
            opt->quiet = true;
        } else if ((allowed & kOptStrict) && strcmp(a, "--strict") == 0) {
            opt->strict = true;
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            puts(help);
            return finish(sub, 0);
        } else {
            return usage_error(sub, "unknown option '%s' (callctl %s --help lists them)", a, sub);
        }
    }
    return -1;
}

void put_json(cJSON* root) {
    char* text = cJSON_Print(root);
    if (text != nullptr) puts(text);
    cJSON_free(text);
    cJSON_Delete(root);
}

int finish(const char* sub, int status) {
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "callctl %s: cannot write the output: %s\n", sub, strerror(errno != 0 ? errno : EIO));
        return kWriteFailed;
    }
    return status;
}

std::string shown(const std::string& raw, size_t max) {
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < raw.size(); chars++) {
        if (chars == max) return out + "...";
        const auto c = static_cast<unsigned char>(raw[i]);
        // the length of a well-formed UTF-8 sequence starting here, 0 if none
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 && c >= 0xc2 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e && c <= 0xf4 ? 4 : 0;
        for (size_t k = 1; k < n; k++)
            if (i + k >= raw.size() || (static_cast<unsigned char>(raw[i + k]) & 0xc0) != 0x80) n = 0;
        // no overlong three-byte forms, no surrogates, nothing above U+10FFFF
        if (n == 3) {
            const auto c1 = static_cast<unsigned char>(raw[i + 1]);
            if ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0)) n = 0;
        } else if (n == 4) {
            const auto c1 = static_cast<unsigned char>(raw[i + 1]);
            if ((c == 0xf0 && c1 < 0x90) || (c == 0xf4 && c1 >= 0x90)) n = 0;
        }
        if (n == 1 && c >= 0x20 && c != 0x7f && c != '\\') {
            out += raw[i];
        } else if (n > 1 && !(c == 0xc2 && static_cast<unsigned char>(raw[i + 1]) < 0xa0)) {  // C1 controls escaped
            out.append(raw, i, n);
        } else {
            static const char* const kNamed[] = {"\\t", "\\n", nullptr, nullptr, "\\r"};
            char esc[8];
            if (c == '\\')
                str_copy(esc, "\\\\");
            else if (c >= '\t' && c <= '\r' && kNamed[c - '\t'] != nullptr)
                str_copy(esc, kNamed[c - '\t']);
            else
                str_format(esc, sizeof esc, "\\x%02x", c);
            out += esc;
            n = 1;  // a C1 control: its second byte is escaped on its own
        }
        i += n;
    }
    return out;
}

bool readable_file(const char* file, std::string* why) {
    const dev::Path path(file);
    // O_NONBLOCK: opening a FIFO with no writer returns at once
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    struct stat st;
    const bool got = fstat(fd, &st) == 0;
    const int err = errno;
    close(fd);
    if (!got) {
        *why = strerror(err);
    } else if (S_ISDIR(st.st_mode)) {
        *why = strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        *why = S_ISFIFO(st.st_mode) ? "not a regular file (a FIFO)" : "not a regular file";
    } else {
        return true;
    }
    return false;
}

int usage_error(const char* sub, const char* fmt, ...) {
    fprintf(stderr, "callctl %s: ", sub);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return 2;
}

}  // namespace callctl
