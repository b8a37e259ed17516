#include "engine/serial_line.h"

#include <stdio.h>

size_t FrameSentence(const char* sentence, char* line, size_t lineSize) {
    if (lineSize == 0) {
        return 0;
    }
    int wanted = snprintf(line, lineSize, "%s\r\n", sentence);
    if (wanted < 0) {
        line[0] = '\0';
        return 0;
    }
    return (size_t)wanted < lineSize ? (size_t)wanted : lineSize - 1;
}
