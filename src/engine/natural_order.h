// The order in which the terminal program lists ports: ttyUSB2 before
// ttyUSB10. Portable.
#pragma once

// Negative, zero or positive. Runs of decimal digits compare by their value
// (ttyUSB2 before ttyUSB10), other bytes as unsigned; texts of equal value
// ("01" and "1") are told apart by their bytes, so zero means equal texts.
int CompareNatural(const char* a, const char* b);
