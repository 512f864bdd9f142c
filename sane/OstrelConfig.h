// The backend's configuration file ostrel.conf: one line "net <IPv4 address> [label]"
// per network scanner; '#' starts a comment.
#pragma once

#include <string>
#include <vector>

struct stOstrelNetEntry
{
    std::string strAddress;
    std::string strLabel;
};

// Read from the first directory of SANE_CONFIG_DIR that holds the file, as libsane's own
// loader looks for its files; a list ending in ':' (or none) goes on to the system's
// directory.
std::vector<stOstrelNetEntry> OstrelReadConfig();
// The entries of a configuration text; bad lines are reported in the debug output.
std::vector<stOstrelNetEntry> OstrelParseConfig(const std::string &strText);
