// The one password of the web server: made by the password subcommand,
// kept as a crypt hash in a file, checked at each login.
#pragma once

#include <stddef.h>

const size_t PASSWORD_MIN_LEN = 8;
const size_t PASSWORD_MAX_LEN = 255;
const size_t PASSWORD_HASH_LEN = 256; // bytes, terminator included

// kavrel-mode-switch-web password FILE: returns the exit status.
int RunPasswordCommand(const char* path);

// Reads the hash from the file's first line into hash. 0 with the reason
// printed when there is none.
int LoadPasswordHash(const char* path, char* hash, size_t size);

// Whether the password matches the hash; area is crypt's work space (at
// least sizeof(struct crypt_data)), one caller at a time.
bool PasswordMatches(const char* hash, const char* password, void* area, size_t areaSize);
