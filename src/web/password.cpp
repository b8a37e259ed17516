#include "web/password.h"

#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const mode_t PASSWORD_FILE_MODE = 0640; // the service's group may read it
const size_t PATH_LEN = 4096;

// One line from standard input into text, its line end taken off; echo off
// on a terminal. 0 at the end of input or for a line too long.
int ReadSecretLine(const char* prompt, char* text, size_t size) {
    bool terminal = isatty(STDIN_FILENO) != 0;
    struct termios saved;
    bool quiet = terminal && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        struct termios silent = saved;
        silent.c_lflag &= ~(tcflag_t)ECHO;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        fputs(prompt, stderr);
    }
    bool got = fgets(text, (int)size, stdin) != nullptr;
    if (quiet) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fputs("\n", stderr);
    }
    size_t length = got ? strcspn(text, "\r\n") : 0;
    if (!got || (text[length] == '\0' && length + 1 == size)) {
        return 0;
    }
    text[length] = '\0';
    return 1;
}

} // namespace

int ReplaceFile(const char* path, const char* text, size_t length) {
    char temporary[PATH_LEN];
    if (snprintf(temporary, sizeof temporary, "%s.XXXXXX", path) >= (int)sizeof temporary) {
        fprintf(stderr, "kavrel-mode-switch-web: the path is too long: %s\n", path);
        return 0;
    }
    int fd = mkstemp(temporary);
    if (fd < 0) {
        int error = errno;
        fprintf(stderr, "kavrel-mode-switch-web: cannot create %s: %s\n", temporary,
                strerror(error));
        return 0;
    }
    bool written = fchmod(fd, PASSWORD_FILE_MODE) == 0 &&
                   write(fd, text, length) == (ssize_t)length && fsync(fd) == 0;
    int error = errno;
    bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary, path) != 0) {
        error = written && closed ? errno : error;
        unlink(temporary);
        fprintf(stderr, "kavrel-mode-switch-web: cannot write %s: %s\n", path, strerror(error));
        return 0;
    }
    // The rename itself lasts only once the folder is on disk.
    char folder[PATH_LEN] = ".";
    const char* slash = strrchr(path, '/');
    if (slash != nullptr) {
        size_t folderLength = slash == path ? 1 : (size_t)(slash - path);
        snprintf(folder, sizeof folder, "%.*s", (int)folderLength, path);
    }
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 1;
}

int ReadNewPassword(char* password, size_t size) {
    char again[PASSWORD_MAX_LEN + 2];
    if (!ReadSecretLine("New password: ", password, size) || strlen(password) > PASSWORD_MAX_LEN) {
        fprintf(stderr, "kavrel-mode-switch-web: no password read (at most %lu bytes)\n",
                (unsigned long)PASSWORD_MAX_LEN);
        return 0;
    }
    if (strlen(password) < PASSWORD_MIN_LEN) {
        fprintf(stderr, "kavrel-mode-switch-web: the password must have at least %lu characters\n",
                (unsigned long)PASSWORD_MIN_LEN);
        return 0;
    }
    bool differ = isatty(STDIN_FILENO) &&
                  (!ReadSecretLine("Again: ", again, sizeof again) || strcmp(password, again) != 0);
    explicit_bzero(again, sizeof again);
    if (differ) {
        fprintf(stderr, "kavrel-mode-switch-web: the two passwords differ\n");
        return 0;
    }
    return 1;
}

int HashNewPassword(const char* password, char* hash, size_t size) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    struct crypt_data area;
    memset(&area, 0, sizeof area);
    const char* made = nullptr;
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) != nullptr) {
        made = crypt_r(password, salt, &area);
    }
    bool fits = made != nullptr && made[0] != '*' && strlen(made) < size;
    if (fits) {
        snprintf(hash, size, "%s", made);
    }
    explicit_bzero(&area, sizeof area);
    if (!fits) {
        fprintf(stderr, "kavrel-mode-switch-web: the system's crypt made no hash\n");
    }
    return fits ? 1 : 0;
}

int RunPasswordCommand(const char* path) {
    char password[PASSWORD_MAX_LEN + 2];
    char hash[PASSWORD_HASH_LEN + 1]; // with its line end
    int made = ReadNewPassword(password, sizeof password) &&
               HashNewPassword(password, hash, PASSWORD_HASH_LEN);
    explicit_bzero(password, sizeof password);
    if (!made) {
        return 1;
    }
    size_t length = strlen(hash);
    hash[length++] = '\n';
    if (!ReplaceFile(path, hash, length)) {
        return 1;
    }
    fputs(PASSWORD_RESTART_HINT, stdout);
    return 0;
}

int LoadPasswordHash(const char* path, char* hash, size_t size) {
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        int error = errno;
        fprintf(stderr, "kavrel-mode-switch-web: cannot read %s: %s\n", path, strerror(error));
        return 0;
    }
    bool got = fgets(hash, (int)size, file) != nullptr;
    fclose(file);
    size_t length = got ? strcspn(hash, "\r\n") : 0;
    hash[length] = '\0';
    if (length == 0 || hash[0] != '$') {
        fprintf(stderr, "kavrel-mode-switch-web: %s holds no password hash\n", path);
        return 0;
    }
    return 1;
}

bool PasswordMatches(const char* hash, const char* password, void* area, size_t areaSize) {
    if (areaSize < sizeof(struct crypt_data)) {
        return false;
    }
    memset(area, 0, sizeof(struct crypt_data));
    const char* made = crypt_r(password, hash, static_cast<struct crypt_data*>(area));
    if (made == nullptr || made[0] == '*') {
        return false;
    }
    size_t length = strlen(hash);
    unsigned char differ = strlen(made) == length ? 0 : 1;
    for (size_t i = 0; i < length && made[i] != '\0'; ++i) {
        differ |= (unsigned char)(made[i] ^ hash[i]);
    }
    return differ == 0;
}
