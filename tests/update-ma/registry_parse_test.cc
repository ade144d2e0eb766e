#include "registry_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Parsed {
    RegistryLine result;
    std::string prefix, organisation, assignment;
};

Parsed parse(const std::string& line) {
    RegistryRow row{};
    Parsed p;
    p.result = parse_registry_line(line, row);
    if (p.result == RegistryLine::accepted) {
        p.prefix = row.prefix;
        p.organisation = row.organisation;
    }
    if (p.result != RegistryLine::skipped) p.assignment = std::string(row.assignment);
    return p;
}

TEST(RegistryParse, PrefixFormsByAssignmentLength) {
    auto l = parse("MA-L,0050C2,IEEE Registration Authority,445 Hoes Lane\r\n");
    EXPECT_EQ(l.result, RegistryLine::accepted);
    EXPECT_EQ(l.prefix, "00:50:c2");
    EXPECT_EQ(l.organisation, "IEEE Registration Authority");

    auto m = parse("MA-M,70B3D5F,Seven,addr\n");
    EXPECT_EQ(m.prefix, "70:b3:d5:f");
    auto s = parse("MA-S,70B3D5123,Nine,addr\n");
    EXPECT_EQ(s.prefix, "70:b3:d5:12:3");

    // Only A-Z is lowered; other characters are not checked for being hex.
    auto odd = parse("MA-L,zZ-_G9,Odd,addr\n");
    EXPECT_EQ(odd.result, RegistryLine::accepted);
    EXPECT_EQ(odd.prefix, "zz:-_:g9");
}

TEST(RegistryParse, OtherAssignmentLengthsAreReportedWithTheAssignment) {
    for (const std::string a : {"", "00AA", "0050C2AB", "0050C2ABCD", "0050C"}) {
        auto p = parse("MA-L," + a + ",Org,addr\n");
        EXPECT_EQ(p.result, RegistryLine::bad_assignment) << a;
        EXPECT_EQ(p.assignment, a);
    }
}

TEST(RegistryParse, RegistryTestLooksAtTheFirstFourCharactersOnly) {
    EXPECT_EQ(parse("MA-LX,0050C2,Org,addr\n").result, RegistryLine::accepted);
    EXPECT_EQ(parse("MA-S,0050C2,Org,addr\n").prefix, "00:50:c2");
    EXPECT_EQ(parse("MA-X,0050C2,Org,addr\n").result, RegistryLine::skipped);
    EXPECT_EQ(parse("MA-,0050C2,Org,addr\n").result, RegistryLine::skipped);
    EXPECT_EQ(parse("ma-l,0050C2,Org,addr\n").result, RegistryLine::skipped);
    EXPECT_EQ(parse(" MA-L,0050C2,Org,addr\n").result, RegistryLine::skipped);
    EXPECT_EQ(parse("Registry,Assignment,Organization Name,Organization Address\r\n").result,
              RegistryLine::skipped);
    // The registry test comes first: a header with a bad "assignment" is no error.
    EXPECT_EQ(parse("IAB,0050C2ABC,Org,addr\n").result, RegistryLine::skipped);
}

TEST(RegistryParse, MissingFieldsSkipTheLine) {
    EXPECT_EQ(parse("MA-L").result, RegistryLine::skipped);
    EXPECT_EQ(parse("MA-L,0050C2").result, RegistryLine::skipped);
    EXPECT_EQ(parse("MA-L,0050C2,").result, RegistryLine::skipped);
    // An unquoted organisation needs a comma after it.
    EXPECT_EQ(parse("MA-L,0050C2,Last Field\r\n").result, RegistryLine::skipped);
    // A quoted one needs a closing quote.
    EXPECT_EQ(parse("MA-L,0050C2,\"Open, never closed\r\n").result, RegistryLine::skipped);
    EXPECT_EQ(parse("").result, RegistryLine::skipped);
}

TEST(RegistryParse, QuotedOrganisations) {
    auto commas = parse("MA-L,00000C,\"Cisco Systems, Inc\",170 WEST TASMAN DRIVE\r\n");
    EXPECT_EQ(commas.result, RegistryLine::accepted);
    EXPECT_EQ(commas.organisation, "Cisco Systems, Inc");

    // The quoted field may be the last one: the quote ends it.
    EXPECT_EQ(parse("MA-L,00000C,\"Last\"\r\n").organisation, "Last");
    EXPECT_EQ(parse("MA-L,00000C,\"\",addr\r\n").organisation, "");

    // Doubled quotes stand for one quote, wherever they are in the field.
    EXPECT_EQ(parse("MA-L,001EFC,\"JSC \"\"MASSA-K\"\"\",addr\r\n").organisation,
              "JSC \"MASSA-K\"");
    EXPECT_EQ(parse("MA-L,001ECB,\"\"\"RPC \"\"Energo\"\" Ltd\",addr\r\n").organisation,
              "\"RPC \"Energo\" Ltd");
    // With no closing quote after the pairs the first quote ends the field.
    auto unclosed = parse("MA-L,001ECB,\"Cut \"\"here\"\"\r\n");
    EXPECT_EQ(unclosed.result, RegistryLine::accepted);
    EXPECT_EQ(unclosed.organisation, "Cut ");
    // A quote inside an unquoted field is an ordinary character.
    EXPECT_EQ(parse("MA-L,001ECB,Say \"hi\",addr\r\n").organisation, "Say \"hi\"");
}

TEST(RegistryParse, ApostrophesBecomeBackquotes) {
    EXPECT_EQ(parse("MA-L,0050C2,O'Brien's,addr\n").organisation, "O`Brien`s");
    EXPECT_EQ(parse("MA-L,0050C2,\"'Quoted', too\",addr\n").organisation, "`Quoted`, too");
}

TEST(RegistryParse, AssignmentWithAQuoteIsARowLikeAnyOther) {
    // Only ever a bound value: the quote stays in the prefix, and the
    // organisation is just text.
    auto p = parse("MA-S,abcdefgh',\", 1);DROP TABLE ma_l;--\",addr\n");
    EXPECT_EQ(p.result, RegistryLine::accepted);
    EXPECT_EQ(p.assignment, "abcdefgh'");
    EXPECT_EQ(p.prefix, "ab:cd:ef:gh:'");
    EXPECT_EQ(p.organisation, ", 1);DROP TABLE ma_l;--");
    // Length is judged first.
    EXPECT_EQ(parse("MA-S,ab'cd,Org,addr\n").result, RegistryLine::bad_assignment);
}

TEST(RegistryParse, OrganisationIsCutAt128BytesOnACharacterBoundary) {
    auto ascii = parse("MA-L,0050C2," + std::string(200, 'x') + ",addr\n");
    EXPECT_EQ(ascii.organisation, std::string(128, 'x'));
    EXPECT_EQ(parse("MA-L,0050C2," + std::string(128, 'y') + ",addr\n").organisation,
              std::string(128, 'y'));

    // "é" is two bytes; with 127 bytes before it the cut at 128 would split
    // it, so it is dropped whole.
    auto split = parse("MA-L,0050C2," + std::string(127, 'a') + "\xc3\xa9rest,addr\n");
    EXPECT_EQ(split.organisation, std::string(127, 'a'));
    // Ending exactly at the boundary it is kept.
    auto whole = parse("MA-L,0050C2," + std::string(126, 'a') + "\xc3\xa9rest,addr\n");
    EXPECT_EQ(whole.organisation, std::string(126, 'a') + "\xc3\xa9");
    // A four-byte character straddling the cut.
    auto emoji = parse("MA-L,0050C2," + std::string(126, 'a') + "\xf0\x9f\x98\x80,addr\n");
    EXPECT_EQ(emoji.organisation, std::string(126, 'a'));
    // Bytes that are not UTF-8 are cut at 128 as they are.
    auto latin = parse("MA-L,0050C2," + std::string(200, '\xa0') + ",addr\n");
    EXPECT_EQ(latin.organisation, std::string(128, '\xa0'));
}

TEST(RegistryParse, LineEndsAtItsFirstNulByte) {
    EXPECT_EQ(parse(std::string("MA-L,0050C2\0,Org,addr\n", 22)).result, RegistryLine::skipped);
    EXPECT_EQ(parse(std::string("MA-L,0050C2,Org,ad\0dr\n", 22)).organisation, "Org");
}

}  // namespace
