// A throwaway installation root (<root>/bin, <root>/etc, <root>/logs) that a
// unit test changes into, as the agent does at start-up. The root lies inside
// an area of the test's own (<area>/root), so a path that climbs out of the
// root, such as "../../m" from bin/, still lands in the test's area; the
// whole area goes at the end.
#ifndef TESTS_UNIT_SUPPORT_TEMP_ROOT_H
#define TESTS_UNIT_SUPPORT_TEMP_ROOT_H

#include <string>

class TempRoot {
public:
    TempRoot(); // creates the area and root and changes into <root>/bin
    ~TempRoot(); // changes back and removes the area
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return m_path; }
    // The directory that holds the root, also the test's.
    const std::string& area() const { return m_area; }
    // Writes <root>/etc/base.conf with exactly these bytes.
    void WriteConf(const std::string& text) const;
    // Writes a file relative to the root.
    void WriteFile(const std::string& relative, const std::string& text) const;

private:
    std::string m_area;
    std::string m_path;
    std::string m_oldCwd;
};

#endif
