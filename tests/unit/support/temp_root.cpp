#include "support/temp_root.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include <gtest/gtest.h>

TempRoot::TempRoot()
{
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr)
        m_oldCwd = cwd;
    char tmpl[] = "/tmp/quillmar-unit-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_area = tmpl;
    m_path = m_area + "/root";
    std::string cmd = "mkdir -p " + m_path + "/bin " + m_path + "/etc " + m_path + "/logs";
    if (system(cmd.c_str()) != 0 || chdir((m_path + "/bin").c_str()) != 0)
        throw std::runtime_error("cannot lay out " + m_path);
}

TempRoot::~TempRoot()
{
    if (!m_oldCwd.empty() && chdir(m_oldCwd.c_str()) != 0)
        ADD_FAILURE() << "cannot change back to " << m_oldCwd;
    std::string cmd = "rm -rf " + m_area;
    if (system(cmd.c_str()) != 0)
        ADD_FAILURE() << "cannot remove " << m_area;
}

void TempRoot::WriteConf(const std::string& text) const
{
    WriteFile("etc/base.conf", text);
}

void TempRoot::WriteFile(const std::string& relative, const std::string& text) const
{
    std::ofstream out(m_path + "/" + relative, std::ios::binary | std::ios::trunc);
    out << text;
}
