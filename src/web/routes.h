// The web server's routes: the page's own files, and the API as one table
// of method, path, whether a session is needed, and the room that answers.
// Every request is checked here first: the connection's gate, the name it
// was sent to, a POST's origin and size, and its session.
#pragma once

#include <microhttpd.h>
#include <stddef.h>
#include <sys/socket.h>

// One of the page's files, embedded at build time (page_files.cpp, made by
// src/web/embed_page.cmake from src/web/page/).
struct PageFile {
    const char* path; // "/app.js"
    const char* type; // its Content-Type
    const unsigned char* bytes;
    size_t length;
};
extern const PageFile PAGE_FILES[];
extern const int PAGE_FILE_COUNT;

// libmicrohttpd's access handler; cls is the Server.
enum MHD_Result HandleRequest(void* cls, struct MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* upload,
                              size_t* uploadSize, void** context);

// Frees what HandleRequest kept for a request.
void RequestCompleted(void* cls, struct MHD_Connection* connection, void** context,
                      enum MHD_RequestTerminationCode code);

// The library's accept policy and its news of a connection's start and end:
// each connection's slot at the server's gate; cls is the Server.
enum MHD_Result AdmitClient(void* cls, const struct sockaddr* address, socklen_t length);
void NoteConnection(void* cls, struct MHD_Connection* connection, void** socketContext,
                    enum MHD_ConnectionNotificationCode code);
