// The one password of the web server: made by the password subcommand,
// kept as a crypt hash in a file, checked at each login. The caster's
// users' passwords are read, hashed and written the same way.
#pragma once

#include <stddef.h>

const size_t PASSWORD_MIN_LEN = 8;
const size_t PASSWORD_MAX_LEN = 255;
const size_t PASSWORD_HASH_LEN = 256; // bytes, terminator included
// The service reads its hashes once, as it starts.
const char PASSWORD_RESTART_HINT[] =
    "A running service takes the new password at its next restart:\n"
    "  sudo systemctl restart kavrel-mode-switch-web\n";

// kavrel-mode-switch-web password FILE: returns the exit status.
int RunPasswordCommand(const char* path);

// What the password subcommand and the caster's users share. A new password
// from standard input into password (at least PASSWORD_MAX_LEN + 2 bytes):
// asked twice on a terminal, echo off; one line otherwise; at least
// PASSWORD_MIN_LEN bytes. 0 with the reason printed.
int ReadNewPassword(char* password, size_t size);
// Its yescrypt hash with a fresh salt into hash; 0 with the reason printed.
int HashNewPassword(const char* password, char* hash, size_t size);
// Replaces the file with the text through a new file in the same folder, so
// that a reader sees the old file or the new one, never a part; mode 0640,
// for the service's group. 0 with the reason printed.
int ReplaceFile(const char* path, const char* text, size_t length);

// Reads the hash from the file's first line into hash. 0 with the reason
// printed when there is none.
int LoadPasswordHash(const char* path, char* hash, size_t size);

// Whether the password matches the hash; area is crypt's work space (at
// least sizeof(struct crypt_data)), one caller at a time.
bool PasswordMatches(const char* hash, const char* password, void* area, size_t areaSize);
