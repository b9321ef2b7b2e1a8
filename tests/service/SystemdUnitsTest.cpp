// The unit texts as pure functions: how a template is filled in, and how the
// sandbox and the account follow from where the program stands and who runs it.
#include "platform/linux/SystemdUnits.h"

#include <gtest/gtest.h>

namespace korvel::systemd_units_test {

TEST(SystemdUnits, TemplatesAreFilledInLineByLine)
{
    const struct
    {
        const char* name;
        std::string unitTemplate;
        std::set<std::string> flags;
        UnitValues values;
        std::string filled;
    } cases[] = {
        {"notes dropped, values filled", "## note\nA=@X@\n", {}, {{"X", "1"}}, "A=1\n"},
        {"a line of only an empty value is dropped",
         "A\n@DEPS@\nB=@X@\n\n",
         {},
         {{"DEPS", ""}, {"X", ""}},
         "A\nB=\n\n"},
        {"a value of several lines", "@DEPS@\n", {}, {{"DEPS", "R=a\nR=b"}}, "R=a\nR=b\n"},
        {"marked lines only with their flag",
         "{a}A=@X@\n{b}B\nC\n",
         {"a"},
         {{"X", "1"}},
         "A=1\nC\n"},
        {"a value is never read as a placeholder",
         "E=@X@ @Y@\n",
         {},
         {{"X", "@Y@"}, {"Y", "2"}},
         "E=@Y@ 2\n"},
        {"other signs stay",
         "F=@system-service @ @X\n",
         {},
         {{"X", "1"}},
         "F=@system-service @ @X\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FillUnitTemplate(c.unitTemplate, c.flags, c.values), c.filled) << c.name;
}

TEST(SystemdUnits, SandboxKeepsTheProgramReachableWhereverItStands)
{
    const struct
    {
        std::string program;
        std::string account;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    } cases[] = {
        {"/opt/tlkorvel/tlKorvel",
         "tlkorvel",
         {"User=tlkorvel", "Group=tlkorvel", "SupplementaryGroups=dialout",
          "CapabilityBoundingSet=", "ReadWritePaths=/opt/tlkorvel", "ProtectHome=yes",
          "PrivateTmp=yes", "Documentation=man:tlKorvel(8)"},
         {"CapabilityBoundingSet=CAP_DAC_OVERRIDE"}},
        {"/srv/korvel/tlKorvel",
         "",
         {"CapabilityBoundingSet=CAP_DAC_OVERRIDE", "ReadWritePaths=/srv/korvel", "ProtectHome=yes",
          "PrivateTmp=yes"},
         {"CapabilityBoundingSet=", "Documentation=man:tlKorvel(8)"}},
        {"/home/ann/korvel/tlKorvel", "", {"ProtectHome=read-only", "PrivateTmp=yes"}, {}},
        {"/root/tlKorvel", "", {"ProtectHome=read-only", "ReadWritePaths=/root"}, {}},
        {"/homestead/tlKorvel", "", {"ProtectHome=yes"}, {}},
        {"/tmp/k/tlKorvel", "", {"ProtectHome=yes", "PrivateTmp=no"}, {}},
        {"/var/tmp/tlKorvel", "", {"PrivateTmp=no", "ReadWritePaths=/var/tmp"}, {}},
        {"/tlKorvel", "", {"ReadWritePaths=/"}, {}},
    };
    for (const auto& c : cases) {
        ServiceUnitSettings settings;
        settings.program = c.program;
        settings.account = c.account;
        const std::optional<std::string> text = ServiceUnitText(settings);
        ASSERT_TRUE(text) << c.program;
        const std::string& unit = *text;
        const std::string lines = "\n" + unit;
        for (const std::string& line : c.present)
            EXPECT_NE(lines.find("\n" + line + "\n"), std::string::npos)
                << c.program << ": " << line << "\n"
                << unit;
        for (const std::string& line : c.absent)
            EXPECT_EQ(lines.find("\n" + line + "\n"), std::string::npos)
                << c.program << ": " << line << "\n"
                << unit;
    }
}

} // namespace korvel::systemd_units_test
