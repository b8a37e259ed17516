// The words and figures of the page that the server already has: the modes
// with their buttons, steps and times, the fix words, the survey-in's target
// and the restart's limit. They reach the page as keys of the ports' answer,
// so that the page never states them apart from the engine's tables.
#pragma once

#include <stddef.h>

#include "engine/json_out.h"

// The most the keys take, written in full.
const size_t PAGE_WORDS_LEN = 6144;

// The keys modes, fixes, survey_in and restart_limit_ms, as members of the
// open object out; a key that does not fit is left out whole.
void WritePageWords(JsonOut* out);
