// The line syntax of dictionary files: one line is a name, "=", and a quoted or unquoted
// value with "|XX" hexadecimal escapes, optionally followed by a "#" comment. These calls
// parse and write single lines; Dictionary builds files out of them.
// Thread safe: no shared state (a FILE is used by one thread at a time).
#ifndef CONFIG_DICTLL_H
#define CONFIG_DICTLL_H

#include <cstddef>
#include <cstdio>
#include <string>

// Parses the first line of buf[0, size): it ends at a line feed, which is consumed but
// not part of *line. Returns the number of bytes consumed, 0 only when size is 0. When
// the line defines a name, *name and *value receive it (the value unescaped); otherwise
// *name is empty (a blank line, a comment, or a syntax error: see DictLL_IsComment).
size_t DictLL_UnmarshalLine(const char* buf, size_t size, std::string* line, std::string* name,
                            std::string* value);

// Parses one line without its line end; false (and *name, *value untouched) when the
// line does not define a name.
bool DictLL_ParseLine(const std::string& line, std::string* name, std::string* value);

// True for a line of blanks and tabs only, or whose first other character is "#".
bool DictLL_IsComment(const std::string& line);

// Appends `name = "escaped value"` and a line feed to *out; with an empty name, appends
// value as a line of text and a line feed.
void DictLL_MarshalLine(std::string* out, const std::string& name, const std::string& value);

// Splits the first line off buf[0, size) as files are read: it ends at a line feed, a
// carriage return, or a carriage return and a line feed. Returns the bytes consumed
// (0 only when size is 0); *lineLength is the line's length without its end.
size_t DictLL_SplitFileLine(const char* buf, size_t size, size_t* lineLength);

// Reads one line of a file (any of the three line ends) and parses it.
// Returns 1 for a line, 0 at the end of the file, -1 on a read error (errno is set).
int DictLL_ReadLine(FILE* file, std::string* line, std::string* name, std::string* value);

// Writes DictLL_MarshalLine's output to file; false on a write error.
bool DictLL_WriteLine(FILE* file, const std::string& name, const std::string& value);

// Skips a UTF-8 byte-order mark at the file's current position; true when one was there.
// Anything else is left unread.
bool DictLL_ReadUTF8BOM(FILE* file);

#endif  // CONFIG_DICTLL_H
