// The log lines that one piece of a test wrote: everything the process-wide
// logger appended to "../logs/quillmar.log" since the tail was made, each
// line without its time stamp ("[INFO]text").
#ifndef TESTS_UNIT_SUPPORT_LOG_TAIL_H
#define TESTS_UNIT_SUPPORT_LOG_TAIL_H

#include <string>
#include <vector>

class LogTail {
public:
    LogTail(); // waits for queued lines, then marks the end of the log
    // Waits for queued lines, then gives those written since the mark.
    std::vector<std::string> Lines() const;

private:
    size_t m_offset;
};

#endif
