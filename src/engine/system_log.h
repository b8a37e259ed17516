// What the log asks of the system: the time of day and the text of the last
// error. The engine declares it; each platform implements it in its own
// system_log.cpp (platform/windows/ and platform/unix/).
#pragma once

// The local time of day.
void LocalTimeOfDay(unsigned* hour, unsigned* minute, unsigned* second);

// Logs the context with the system's text and number for the calling
// thread's last error (errno on Linux). Call it right after the failing call.
void LogLastError(void* owner, const char* context);

// That error's number, for a record of why a run failed; reading it changes
// nothing.
int LastErrorNumber();
