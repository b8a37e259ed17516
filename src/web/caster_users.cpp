#include "web/caster_users.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

const char PROGRAM[] = "kavrel-mode-switch-web";

// The file's text into text (size bytes), terminated; "" for a file that
// is not there yet. 0 with the reason printed.
int ReadUsersFile(const char* path, char* text, size_t size) {
    FILE* file = fopen(path, "re");
    text[0] = '\0';
    if (file == nullptr) {
        int error = errno;
        if (error == ENOENT) {
            return 1;
        }
        fprintf(stderr, "%s: cannot read %s: %s\n", PROGRAM, path, strerror(error));
        return 0;
    }
    size_t got = fread(text, 1, size - 1, file);
    bool whole = feof(file) != 0 && ferror(file) == 0;
    fclose(file);
    text[got] = '\0';
    if (!whole || memchr(text, '\0', got) != nullptr) {
        fprintf(stderr, "%s: %s is larger than %lu bytes or not text\n", PROGRAM, path,
                (unsigned long)(size - 1));
        return 0;
    }
    return 1;
}

// Whether the line (length bytes) is the name's: "NAME:...".
bool LineOf(const char* line, size_t length, const char* name) {
    size_t nameLength = strlen(name);
    return length > nameLength && strncmp(line, name, nameLength) == 0 && line[nameLength] == ':';
}

// One line "NAME:hash" into the user; false when it is not one.
bool ReadUserLine(const char* line, size_t length, CasterUser* user) {
    const char* colon = static_cast<const char*>(memchr(line, ':', length));
    size_t nameLength = colon != nullptr ? (size_t)(colon - line) : 0;
    size_t hashLength = colon != nullptr ? length - nameLength - 1 : 0;
    if (!NtripNameValid(line, nameLength) || hashLength == 0 || hashLength >= sizeof user->hash ||
        colon[1] != '$') {
        return false;
    }
    for (size_t i = 0; i < hashLength; ++i) {
        if (colon[1 + i] <= ' ' || colon[1 + i] > '~') {
            return false;
        }
    }
    snprintf(user->name, sizeof user->name, "%.*s", (int)nameLength, line);
    snprintf(user->hash, sizeof user->hash, "%.*s", (int)hashLength, colon + 1);
    return true;
}

// The file's text without the name's line, and the name's new line after
// it, into text (size bytes); false when it does not fit.
bool Rewrite(const char* old, const char* name, const char* hash, char* text, size_t size) {
    size_t used = 0;
    for (const char* at = old; *at != '\0';) {
        size_t length = strcspn(at, "\n");
        size_t withEnd = length + (at[length] == '\n' ? 1 : 0);
        if (!LineOf(at, length, name)) {
            if (used + length + 1 >= size) {
                return false;
            }
            memcpy(text + used, at, length);
            used += length;
            text[used++] = '\n';
        }
        at += withEnd;
    }
    int added = snprintf(text + used, size - used, "%s:%s\n", name, hash);
    return added > 0 && (size_t)added < size - used;
}

} // namespace

int RunCasterUserCommand(const char* path, const char* name) {
    char old[CASTER_USERS_FILE_MAX_BYTES];
    char text[CASTER_USERS_FILE_MAX_BYTES + NTRIP_NAME_LEN + PASSWORD_HASH_LEN + 2];
    if (!NtripNameValid(name, strlen(name))) {
        fprintf(stderr, "%s: a user's name has 1 to %lu of A-Z a-z 0-9 _ -, not %s\n", PROGRAM,
                (unsigned long)NTRIP_NAME_MAX_LEN, name);
        return 1;
    }
    if (!ReadUsersFile(path, old, sizeof old)) {
        return 1;
    }
    char password[PASSWORD_MAX_LEN + 2];
    char hash[PASSWORD_HASH_LEN];
    int made =
        ReadNewPassword(password, sizeof password) && HashNewPassword(password, hash, sizeof hash);
    explicit_bzero(password, sizeof password);
    if (!made) {
        return 1;
    }
    if (!Rewrite(old, name, hash, text, sizeof text)) {
        fprintf(stderr, "%s: %s would be larger than %lu bytes\n", PROGRAM, path,
                (unsigned long)CASTER_USERS_FILE_MAX_BYTES);
        return 1;
    }
    if (!ReplaceFile(path, text, strlen(text))) {
        return 1;
    }
    fputs(PASSWORD_RESTART_HINT, stdout);
    return 0;
}

int LoadCasterUsers(const char* path, CasterUsers* users) {
    users->count = 0;
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        int error = errno;
        fprintf(stderr, "%s: cannot read %s: %s\n", PROGRAM, path, strerror(error));
        return 0;
    }
    char line[NTRIP_NAME_LEN + PASSWORD_HASH_LEN + 2];
    int number = 0;
    bool good = true;
    while (good && fgets(line, sizeof line, file) != nullptr) {
        size_t length = strcspn(line, "\r\n");
        bool ended = line[length] != '\0' || feof(file) != 0;
        ++number;
        bool skipped = ended && (length == 0 || line[0] == '#');
        good = skipped || (ended && users->count < CASTER_USERS_MAX &&
                           ReadUserLine(line, length, &users->users[users->count]));
        users->count += good && !skipped ? 1 : 0;
    }
    fclose(file);
    if (!good) {
        fprintf(stderr,
                "%s: %s line %d is not NAME:hash, or more than %d names (make each line with: "
                "%s caster-user %s NAME)\n",
                PROGRAM, path, number, CASTER_USERS_MAX, PROGRAM, path);
    }
    return good ? 1 : 0;
}

const char* FindUserHash(const CasterUsers* users, const char* name) {
    for (int i = 0; i < users->count; ++i) {
        if (strcmp(users->users[i].name, name) == 0) {
            return users->users[i].hash;
        }
    }
    return nullptr;
}
