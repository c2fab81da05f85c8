// Reader of the settings file: lines of key = value, '#' in the first column
// starts a comment, the first line with a key wins.
#ifndef AGENT_SETTINGS_H
#define AGENT_SETTINGS_H

// The settings file, relative to the executable's directory.
extern const char* const kConfPath;

// The trimmed value of the first line carrying key, or null when the file
// cannot be opened or no line carries it. The text lives in one shared buffer
// and stays valid only until the next lookup.
const char* GetConfValue(const char* path, const char* key);

// The value as strtol reads it in base 10, narrowed to 32 bits; 0 when absent.
int GetConfInt(const char* path, const char* key);

// Cuts trailing white space in place and returns the first non-blank byte.
char* Trim(char* text);

// The OS type code sent to the server.
int GetOsType();

#endif
