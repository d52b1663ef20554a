// Per-printer AuthID and password in "<stateDir>/credentials", one JSON file
// per printer. The directory is 0700 and each file 0600, both owned by the
// user the application runs as; anything else is refused rather than read.
#include "app/fd.h"
#include "app/credentials.h"

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kValueMax = 127;  // the job record keeps each in 128 bytes
constexpr size_t kNameMax = 127;   // an IPP name
// Longer encodings use the compact form, so that every file name stays well
// under NAME_MAX (255) with its temporary-file decoration.
constexpr size_t kReadableMax = 200;
constexpr off_t kFileMax = 4096;
constexpr const char* kDirName = "credentials";

bool Fail(std::string* why, const std::string& text)
{
    if (why != nullptr)
        *why = text;
    return false;
}

bool SysFail(std::string* why, const std::string& what)
{
    int e = errno;
    return Fail(why, what + ": " + strerror(e));
}

void Wipe(std::string* s)
{
    if (!s->empty())
        explicit_bzero(&(*s)[0], s->size());
    s->clear();
}

bool HasControl(const std::string& s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

bool CheckValue(const char* field, const std::string& value, std::string* why)
{
    if (value.size() > kValueMax)
        return Fail(why, std::string(field) + " is longer than " + std::to_string(kValueMax) + " bytes");
    if (HasControl(value))
        return Fail(why, std::string(field) + " contains a control character");
    return true;
}

bool IsPlain(unsigned char c, bool first)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           (c == '.' && !first);
}

std::string Base64Url(const std::string& in)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint32_t(uint8_t(in[i])) << 16) | (uint32_t(uint8_t(in[i + 1])) << 8) | uint8_t(in[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kAlphabet[(v >> shift) & 63];
    }
    size_t rest = in.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16;
        if (rest == 2)
            v |= uint32_t(uint8_t(in[i + 1])) << 8;
        for (size_t k = 0; k <= rest; ++k)
            out += kAlphabet[(v >> (18 - 6 * k)) & 63];
    }
    return out;
}

// The file name for a printer. Printer names are free text (blanks, '/',
// any UTF-8): bytes outside [A-Za-z0-9._-], '%' and a leading '.' are
// percent-encoded, so different names never share a file and no name
// leaves the directory. A name whose encoding would be long is stored as
// '~' and its base64url form instead ('~' never starts an encoded name).
bool FileNameFor(const std::string& printer, std::string* file, std::string* why)
{
    if (printer.empty())
        return Fail(why, "no printer name");
    if (printer.size() > kNameMax)
        return Fail(why, "printer name is longer than " + std::to_string(kNameMax) + " bytes");
    if (HasControl(printer))
        return Fail(why, "printer name contains a control character");
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < printer.size(); ++i) {
        unsigned char c = uint8_t(printer[i]);
        if (IsPlain(c, i == 0)) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (out.size() > kReadableMax)
        out = "~" + Base64Url(printer);
    *file = out + ".json";
    return true;
}

bool ReadAll(int fd, std::string* out, std::string* why, const std::string& path)
{
    out->clear();
    char buf[1024];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            explicit_bzero(buf, sizeof buf);
            return SysFail(why, "cannot read " + path);
        }
        if (n == 0)
            break;
        if (out->size() + size_t(n) > size_t(kFileMax)) {
            explicit_bzero(buf, sizeof buf);
            return Fail(why, path + " is larger than " + std::to_string(kFileMax) + " bytes");
        }
        out->append(buf, size_t(n));
    }
    explicit_bzero(buf, sizeof buf);
    return true;
}

bool WriteAll(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        data += n;
        len -= size_t(n);
    }
    return true;
}

// Creates `path` and its missing parents, each new one mode 0700.
bool MakeDirs(const std::string& path, std::string* why)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos < path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return SysFail(why, "cannot create " + part);
    }
    return true;
}

// The state directory and the credentials directory inside it, with the
// uid that must own the credentials: our own, or, when we are root (the
// administrator running the command line), the state directory's owner, so
// that the service user can still read what root wrote.
struct Dirs {
    std::string path;  // "<stateDir>/credentials"
    Fd fd;
    uid_t owner = 0;
    gid_t group = 0;
};

enum class Open { kOk, kMissing, kFailed };

Open OpenDirs(const std::string& stateDir, bool create, Dirs* d, std::string* why)
{
    if (stateDir.empty()) {
        Fail(why, "no state directory");
        return Open::kFailed;
    }
    d->path = stateDir + "/" + kDirName;
    Fd state(open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (state.fd < 0 && errno == ENOENT && create) {
        if (!MakeDirs(stateDir, why))
            return Open::kFailed;
        state.Reset(open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (state.fd < 0) {
        if (errno == ENOENT)
            return Open::kMissing;
        SysFail(why, "cannot open the state directory " + stateDir);
        return Open::kFailed;
    }
    struct stat st;
    if (fstat(state.fd, &st) != 0) {
        SysFail(why, "cannot examine " + stateDir);
        return Open::kFailed;
    }
    uid_t me = geteuid();
    d->owner = me == 0 ? st.st_uid : me;
    d->group = st.st_gid;

    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    d->fd.Reset(openat(state.fd, kDirName, flags));
    if (d->fd.fd < 0 && errno == ENOENT && create) {
        if (mkdirat(state.fd, kDirName, 0700) != 0 && errno != EEXIST) {
            SysFail(why, "cannot create " + d->path);
            return Open::kFailed;
        }
        d->fd.Reset(openat(state.fd, kDirName, flags));
        // A new directory: exactly 0700 whatever the umask, and owned like
        // the state directory when root made it.
        if (d->fd.fd >= 0 && fchmod(d->fd.fd, 0700) != 0) {
            SysFail(why, "cannot set the mode of " + d->path);
            return Open::kFailed;
        }
        if (d->fd.fd >= 0 && me == 0 && d->owner != 0 && fchown(d->fd.fd, d->owner, d->group) != 0) {
            SysFail(why, "cannot give " + d->path + " to the state directory's owner");
            return Open::kFailed;
        }
    }
    if (d->fd.fd < 0) {
        if (errno == ENOENT)
            return Open::kMissing;
        if (errno == ELOOP || errno == ENOTDIR) {
            Fail(why, d->path + " is not a directory");
            return Open::kFailed;
        }
        SysFail(why, "cannot open " + d->path);
        return Open::kFailed;
    }
    if (fstat(d->fd.fd, &st) != 0) {
        SysFail(why, "cannot examine " + d->path);
        return Open::kFailed;
    }
    if (st.st_uid != d->owner) {
        Fail(why, d->path + " is owned by uid " + std::to_string(st.st_uid) + ", not " + std::to_string(d->owner));
        return Open::kFailed;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        Fail(why, d->path + " is open to group or others (mode " + mode + "); it must be 0700");
        return Open::kFailed;
    }
    return Open::kOk;
}

std::string FileText(const PrinterCredentials& c)
{
    std::string text;
    cJSON* doc = cJSON_CreateObject();
    if (doc == nullptr)
        return text;
    cJSON* id = cJSON_AddStringToObject(doc, "AuthID", c.authId.c_str());
    cJSON* pw = cJSON_AddStringToObject(doc, "Password", c.password.c_str());
    char* printed = (id != nullptr && pw != nullptr) ? cJSON_Print(doc) : nullptr;
    if (printed != nullptr) {
        text = printed;
        text += '\n';
        explicit_bzero(printed, strlen(printed));
        cJSON_free(printed);
    }
    if (pw != nullptr)
        explicit_bzero(pw->valuestring, strlen(pw->valuestring));
    cJSON_Delete(doc);
    return text;
}

bool ParseFile(const std::string& text, const std::string& path, PrinterCredentials* out, std::string* why)
{
    cJSON* doc = cJSON_ParseWithLength(text.data(), text.size());
    if (doc == nullptr)
        return Fail(why, path + " is not valid JSON");
    bool ok = true;
    if (!cJSON_IsObject(doc)) {
        ok = Fail(why, path + " does not hold a JSON object");
    } else {
        struct Member {
            const char* key;
            std::string* value;
        } members[] = {{"AuthID", &out->authId}, {"Password", &out->password}};
        for (const Member& m : members) {
            const cJSON* item = cJSON_GetObjectItemCaseSensitive(doc, m.key);
            if (item == nullptr)
                continue;
            if (!cJSON_IsString(item) || item->valuestring == nullptr) {
                ok = Fail(why, std::string(m.key) + " in " + path + " is not a string");
                break;
            }
            *m.value = item->valuestring;
            std::string bad;
            if (!CheckValue(m.key, *m.value, &bad)) {
                ok = Fail(why, bad + " in " + path);
                break;
            }
        }
        const cJSON* pw = cJSON_GetObjectItemCaseSensitive(doc, "Password");
        if (cJSON_IsString(pw) && pw->valuestring != nullptr)
            explicit_bzero(pw->valuestring, strlen(pw->valuestring));
    }
    cJSON_Delete(doc);
    if (!ok) {
        Wipe(&out->authId);
        Wipe(&out->password);
    }
    return ok;
}

// The printer's file name and the existing store it would be in, for
// reading or removing: kMissing when there is no store (nothing to read or
// remove), kFailed with `why` set.
Open OpenStore(const std::string& stateDir, const std::string& printer, Dirs* d, std::string* file, std::string* why)
{
    if (!FileNameFor(printer, file, why))
        return Open::kFailed;
    return OpenDirs(stateDir, false, d, why);
}

}  // namespace

bool LoadCredentials(const std::string& stateDir, const std::string& printer, PrinterCredentials* out, std::string* why)
{
    Wipe(&out->authId);
    Wipe(&out->password);
    std::string file;
    Dirs d;
    if (Open o = OpenStore(stateDir, printer, &d, &file, why); o != Open::kOk)
        return o == Open::kMissing;
    std::string path = d.path + "/" + file;
    Fd fd(openat(d.fd.fd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0) {
        if (errno == ENOENT)
            return true;
        if (errno == ELOOP)
            return Fail(why, path + " is a symbolic link");
        return SysFail(why, "cannot open " + path);
    }
    struct stat st;
    if (fstat(fd.fd, &st) != 0)
        return SysFail(why, "cannot examine " + path);
    if (!S_ISREG(st.st_mode))
        return Fail(why, path + " is not a regular file");
    if (st.st_uid != d.owner)
        return Fail(why, path + " is owned by uid " + std::to_string(st.st_uid) + ", not " + std::to_string(d.owner));
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return Fail(why, path + " is readable or writable by group or others (mode " + mode + "); it must be 0600");
    }
    if (st.st_size > kFileMax)
        return Fail(why, path + " is larger than " + std::to_string(kFileMax) + " bytes");
    std::string text;
    bool ok = ReadAll(fd.fd, &text, why, path) && ParseFile(text, path, out, why);
    Wipe(&text);
    return ok;
}

bool SaveCredentials(const std::string& stateDir, const std::string& printer, const PrinterCredentials& c,
                     std::string* why)
{
    std::string file;
    if (!FileNameFor(printer, &file, why) || !CheckValue("AuthID", c.authId, why) ||
        !CheckValue("Password", c.password, why))
        return false;
    Dirs d;
    Open o = OpenDirs(stateDir, true, &d, why);
    if (o == Open::kMissing)
        return Fail(why, "cannot create " + d.path);
    if (o != Open::kOk)
        return false;
    std::string path = d.path + "/" + file;

    // A leading '.' never starts a printer's file name, so a temporary file
    // cannot be taken for one.
    std::string tmp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && fd.fd < 0; ++attempt) {
        tmp = "." + file + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd.Reset(openat(d.fd.fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.fd < 0 && errno != EEXIST)
            break;
    }
    if (fd.fd < 0)
        return SysFail(why, "cannot create a temporary file in " + d.path);

    std::string text = FileText(c);
    bool ok = true;
    if (text.empty())
        ok = Fail(why, "cannot format the credentials (out of memory)");
    else if (fchmod(fd.fd, 0600) != 0)
        ok = SysFail(why, "cannot set the mode of " + d.path + "/" + tmp);
    else if (geteuid() == 0 && d.owner != 0 && fchown(fd.fd, d.owner, d.group) != 0)
        ok = SysFail(why, "cannot give " + d.path + "/" + tmp + " to the state directory's owner");
    else if (!WriteAll(fd.fd, text.data(), text.size()))
        ok = SysFail(why, "cannot write " + d.path + "/" + tmp);
    else if (fsync(fd.fd) != 0)
        ok = SysFail(why, "cannot flush " + d.path + "/" + tmp);
    Wipe(&text);
    if (close(fd.Release()) != 0 && ok)
        ok = SysFail(why, "cannot close " + d.path + "/" + tmp);
    if (ok && renameat(d.fd.fd, tmp.c_str(), d.fd.fd, file.c_str()) != 0)
        ok = SysFail(why, "cannot replace " + path);
    if (!ok) {
        // The failure already has its reason; a temporary file that cannot
        // be removed either is named in it.
        if (unlinkat(d.fd.fd, tmp.c_str(), 0) != 0 && errno != ENOENT && why != nullptr)
            *why += " (and " + d.path + "/" + tmp + " is left behind: " + strerror(errno) + ")";
        return false;
    }
    if (fsync(d.fd.fd) != 0)
        return SysFail(why, "cannot flush " + d.path);
    return true;
}

bool RemoveCredentials(const std::string& stateDir, const std::string& printer, std::string* why)
{
    std::string file;
    Dirs d;
    if (Open o = OpenStore(stateDir, printer, &d, &file, why); o != Open::kOk)
        return o == Open::kMissing;
    if (unlinkat(d.fd.fd, file.c_str(), 0) != 0) {
        if (errno == ENOENT)
            return true;
        return SysFail(why, "cannot remove " + d.path + "/" + file);
    }
    if (fsync(d.fd.fd) != 0)
        return SysFail(why, "cannot flush " + d.path);
    return true;
}
