// A throwaway installation root (<root>/bin, <root>/etc, <root>/logs) that a
// unit test changes into, as the agent does at start-up.
#ifndef TESTS_UNIT_SUPPORT_TEMP_ROOT_H
#define TESTS_UNIT_SUPPORT_TEMP_ROOT_H

#include <string>

class TempRoot {
public:
    TempRoot(); // creates the root and changes into <root>/bin
    ~TempRoot(); // changes back and removes the root
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return m_path; }
    // Writes <root>/etc/base.conf with exactly these bytes.
    void WriteConf(const std::string& text) const;
    // Writes a file relative to the root.
    void WriteFile(const std::string& relative, const std::string& text) const;

private:
    std::string m_path;
    std::string m_oldCwd;
};

#endif
