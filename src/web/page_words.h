// The words and figures of the page that the server already has: the modes
// with their buttons, steps and times, the fix words, the survey-in's target
// and the restart's limit. They reach the page as keys of the ports' answer,
// so that the page never states them apart from the engine's tables.
#pragma once

#include <stddef.h>

// The most the keys take, written in full.
const size_t PAGE_WORDS_LEN = 6144;

// Continues the JSON object in json, whose first at bytes are written and
// whose closing brace is not, with the keys modes, fixes, survey_in and
// restart_limit_ms, then closes it. A key that does not fit is left out
// whole; the object stays valid and terminated. Returns its length.
size_t AppendPageWords(char* json, size_t at, size_t size);
