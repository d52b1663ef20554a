// Document name from the job title, the host name, and the authentication
// identity read from "/tmp/auth/auth_config".
#include "params/params.h"

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kAuthPath[] = "/tmp/auth/auth_config";
constexpr size_t kDocNameMax = 255;
constexpr size_t kAuthFieldMax = 127;
constexpr size_t kHostNameSize = 65;
// An identity and a password need a few hundred bytes; anything larger is
// not an authentication file.
constexpr off_t kAuthFileMax = 64 * 1024;

// Copies at most 127 characters of a JSON string member into a 128-byte buffer.
void CopyMember(const cJSON* item, char* out)
{
    size_t len = strnlen(item->valuestring, kAuthFieldMax);
    memcpy(out, item->valuestring, len);
    out[len] = '\0';
}

// Reads the whole regular file on `fd` (at most kAuthFileMax bytes) into a
// fresh NUL-terminated buffer. Returns false after its DEBUG line.
bool ReadAuthFile(int fd, char** text, size_t* len)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        fprintf(ParamsLog(), "DEBUG: auth_file cannot be examined: %s\n", strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(ParamsLog(), "DEBUG: auth_file is not a regular file!\n");
        return false;
    }
    if (st.st_size > kAuthFileMax) {
        fprintf(ParamsLog(), "DEBUG: auth_file is larger than %d bytes!\n", (int)kAuthFileMax);
        return false;
    }
    size_t size = (size_t)st.st_size;
    char* buf = (char*)malloc(size + 1);
    if (buf == nullptr) {
        fprintf(ParamsLog(), "DEBUG: Error allocating memory\n");
        return false;
    }
    fprintf(ParamsLog(), "DEBUG: create  json_string!\n");
    // A file that shrinks meanwhile yields what is there; one that grows is
    // read up to the size it had.
    size_t got = 0;
    while (got < size) {
        ssize_t r = read(fd, buf + got, size - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            fprintf(ParamsLog(), "DEBUG: auth_file cannot be read: %s\n", strerror(errno));
            free(buf);
            return false;
        }
        if (r == 0)
            break;
        got += (size_t)r;
    }
    buf[got] = '\0';
    *text = buf;
    *len = got;
    return true;
}

}  // namespace

void getDocumenName(const char* title, char** name)
{
    fprintf(ParamsLog(), "DEBUG: Enter getDocumenName!\n");
    if (title == nullptr)
        title = "";
    char* out = *name;
    const char* slash = strrchr(title, '/');
    const char* src = title;
    if (slash != nullptr) {
        src = slash + 1;
        fprintf(ParamsLog(), "DEBUG: getDocumenName:remove dir.\n");
    } else {
        fprintf(ParamsLog(), "DEBUG: getDocumenName:param not include dir.\n");
    }
    // The buffer holds 255 characters; a longer component is cut there.
    size_t len = strnlen(src, kDocNameMax);
    memcpy(out, src, len);
    out[len] = '\0';

    char* dot = strchr(out, '.');
    if (dot != nullptr) {
        fprintf(ParamsLog(), "DEBUG: getDocumenName:find expanded flag.\n");
        char* blank = strchr(dot, ' ');
        if (blank != nullptr) {
            *blank = '\0';
            fprintf(ParamsLog(), "DEBUG: getDocumenName:set DocName string terminal.\n");
        }
    }
    fprintf(ParamsLog(), "DEBUG: Exit getDocumenName!\n");
}

bool ParseAuthJson(const char* text, size_t len, char* authId, char* password)
{
    // cJSON refuses documents nested deeper than its limit (1000) as invalid.
    cJSON* doc = cJSON_ParseWithLength(text, len);
    if (doc == nullptr) {
        fprintf(ParamsLog(), "DEBUG: Error parsing JSON\n");
        return false;
    }
    fprintf(ParamsLog(), "DEBUG: Parse  json_string!\n");
    // A document whose top level is not an object (an array, a string, a
    // number) parsed fine but holds no members: it counts as a file without
    // them, so the result is true and both values are stored empty.
    const cJSON* id = cJSON_IsObject(doc) ? cJSON_GetObjectItemCaseSensitive(doc, "AuthID") : nullptr;
    if (cJSON_IsString(id) && id->valuestring != nullptr) {
        CopyMember(id, authId);
        fprintf(ParamsLog(), "DEBUG: AuthID: %s\n", LogSafe(authId).c_str());
    }
    const cJSON* pw = cJSON_IsObject(doc) ? cJSON_GetObjectItemCaseSensitive(doc, "Password") : nullptr;
    if (cJSON_IsString(pw) && pw->valuestring != nullptr) {
        CopyMember(pw, password);
        // The password itself never reaches the log.
        fprintf(ParamsLog(), "DEBUG: Password: %s\n", password[0] != '\0' ? "****" : "");
    }
    cJSON_Delete(doc);
    return true;
}

bool getAuthInfoFrom(const char* path, char** authId, char** password)
{
    fprintf(ParamsLog(), "DEBUG: Enter getAuthInfo!\n");
    // No symlink is followed, and a FIFO there cannot block the open.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(ParamsLog(), "DEBUG: auth_file is not found!\n");
        return false;
    }
    char* text = nullptr;
    size_t len = 0;
    bool ok = ReadAuthFile(fd, &text, &len);
    close(fd);
    if (ok) {
        ok = ParseAuthJson(text, len, *authId, *password);
        // The buffer held the password.
        explicit_bzero(text, len);
        free(text);
    }
    fprintf(ParamsLog(), ok ? "DEBUG: Exit  getAuthInfo!\n" : "DEBUG: Exit  getAuthInfo with error!\n");
    return ok;
}

bool getAuthInfo(char** authId, char** password) { return getAuthInfoFrom(kAuthPath, authId, password); }

void SetHostNameParam(PARAM_KEY_SPERATOR_VALUE* table)
{
    char host[kHostNameSize];
    memset(host, 0, sizeof host);
    // The result is not consulted: a failure leaves the name empty. A name
    // cut at 64 characters may lack its terminator, which the zero fill and
    // the shorter length supply.
    (void)gethostname(host, sizeof host - 1);
    fprintf(ParamsLog(), "HostName: %s\n", LogSafe(host).c_str());
    SetJobParam("HostName", host, table);
}
