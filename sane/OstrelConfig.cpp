#include "OstrelConfig.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "OstrelDebug.h"

namespace
{
constexpr const char *c_szConfigName = "ostrel.conf";
constexpr const char *c_szSystemConfigDir = "/etc/sane.d";
constexpr long c_lConfigMax = 64 * 1024;  // far above any real list of scanners

std::vector<std::string> ConfigDirs()
{
    const char *szDirs = std::getenv("SANE_CONFIG_DIR");
    if (!szDirs || !*szDirs)
        return {c_szSystemConfigDir};
    std::vector<std::string> vecDirs;
    std::stringstream ss(szDirs);
    std::string strDir;
    while (std::getline(ss, strDir, ':')) {
        if (!strDir.empty())
            vecDirs.push_back(strDir);
    }
    if (szDirs[std::strlen(szDirs) - 1] == ':')
        vecDirs.push_back(c_szSystemConfigDir);
    return vecDirs;
}

bool ReadConfigText(const std::string &strPath, std::string *pText)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return false;
    std::string strText(size_t(c_lConfigMax) + 1, '\0');
    in.read(&strText[0], c_lConfigMax + 1);
    strText.resize(size_t(in.gcount()));
    if (strText.size() > size_t(c_lConfigMax)) {
        OstrelDebug(OSTREL_DBG_ERROR, "Unable to read \"%s\": longer than %ld bytes", strPath.c_str(), c_lConfigMax);
        return false;
    }
    *pText = strText;
    return true;
}

bool IsIPv4(const std::string &str)
{
    in_addr addr {};
    return inet_pton(AF_INET, str.c_str(), &addr) == 1;
}
}  // namespace

std::vector<stOstrelNetEntry> OstrelParseConfig(const std::string &strText)
{
    std::vector<stOstrelNetEntry> vecEntries;
    std::stringstream ss(strText);
    std::string strLine;
    for (int iLine = 1; std::getline(ss, strLine); ++iLine) {
        strLine = strLine.substr(0, strLine.find('#'));
        std::stringstream words(strLine);
        std::string strKeyword;
        stOstrelNetEntry entry;
        if (!(words >> strKeyword))
            continue;
        words >> entry.strAddress >> std::ws;
        std::getline(words, entry.strLabel);
        entry.strLabel = entry.strLabel.substr(0, entry.strLabel.find_last_not_of(" \t\r") + 1);
        if (strKeyword != "net" || !IsIPv4(entry.strAddress)) {
            OstrelDebug(OSTREL_DBG_ERROR, "%s line %d: expected \"net <IPv4 address> [label]\"", c_szConfigName, iLine);
            continue;
        }
        vecEntries.push_back(entry);
    }
    return vecEntries;
}

std::vector<stOstrelNetEntry> OstrelReadConfig()
{
    for (const std::string &strDir : ConfigDirs()) {
        std::string strText;
        const std::string strPath = strDir + "/" + c_szConfigName;
        if (ReadConfigText(strPath, &strText)) {
            OstrelDebug(OSTREL_DBG_INFO, "configuration from %s", strPath.c_str());
            return OstrelParseConfig(strText);
        }
    }
    OstrelDebug(OSTREL_DBG_INFO, "no %s found: no network scanners", c_szConfigName);
    return {};
}
