// The library's string table: message number (code & ~library bit) -> text.
#pragma once

// The text of message `number`, or null when there is none.
const char* VGS_Message_Text(unsigned int number);

// Copies message `number` into `buffer` (cut to size - 1 bytes, NUL-terminated) and
// returns the bytes copied; 0 when there is no such message or no room.
unsigned int VGS_Load_Message(unsigned int number, char* buffer, unsigned int size);
