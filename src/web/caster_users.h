// The rovers' names and password hashes: the file that --caster-users
// names, lines NAME:hash, read once as the server starts; and the
// caster-user subcommand, which adds a name or gives it a new password.
#pragma once

#include <stddef.h>

#include "web/ntrip_request.h"
#include "web/password.h"

const int CASTER_USERS_MAX = 64;
const size_t CASTER_USERS_FILE_MAX_BYTES = 65536;

struct CasterUser {
    char name[NTRIP_NAME_LEN];
    char hash[PASSWORD_HASH_LEN];
};

struct CasterUsers {
    CasterUser users[CASTER_USERS_MAX];
    int count;
};

// kavrel-mode-switch-web caster-user FILE NAME: returns the exit status.
int RunCasterUserCommand(const char* path, const char* name);

// Reads the file; 0 with the reason printed for a file that cannot be
// read, a line that is not NAME:hash (empty lines and # comments aside) or
// too many names.
int LoadCasterUsers(const char* path, CasterUsers* users);

// The name's hash; null for a name not in the file.
const char* FindUserHash(const CasterUsers* users, const char* name);
