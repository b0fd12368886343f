// FETCH items: the item-list parser, ENVELOPE, BODYSTRUCTURE and the
// BODY[section]<partial> writer, checked byte for byte on small messages, with
// every literal's count checked against the bytes that follow it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "Streams.h"
#include "StringList.h"
#include "qvImapFetch.h"

namespace {

const std::vector<std::string> kMessageM = {
    "From: \"Alice Example\" <alice@example.com>",
    "To: bob@example.org, \"Carol C\" <carol@example.net>",
    "Subject: Hello",
    "Date: Mon, 2 Mar 2026 10:00:00 +0100",
    "Message-ID: <abc123@example.com>",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"XYZ\"",
    "",
    "preamble",
    "--XYZ",
    "Content-Type: text/plain; charset=us-ascii",
    "",
    "Hi Bob,",
    "second line.",
    "--XYZ",
    "Content-Type: application/pdf; name=\"a.pdf\"",
    "Content-Transfer-Encoding: base64",
    "Content-Disposition: attachment; filename=\"a.pdf\"",
    "",
    "JVBERi0xLjQK",
    "--XYZ--",
};

// Outer multipart/mixed holding a multipart/alternative and a part without
// any Content-Type.
const std::vector<std::string> kNested = {
    "From: a@example.com",
    "Subject: nested",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"OUT\"",
    "",
    "--OUT",
    "Content-Type: multipart/alternative; boundary=\"IN\"",
    "",
    "--IN",
    "Content-Type: text/plain",
    "",
    "plain text",
    "--IN",
    "Content-Type: text/html; charset=utf-8",
    "",
    "<p>html</p>",
    "--IN--",
    "",
    "--OUT",
    "",
    "no type here",
    "--OUT--",
};

// A forward: a note, then the forwarded message (itself multipart) as a
// message/rfc822 part, which holds a forwarded message without MIME fields.
const std::vector<std::string> kForward = {
    "From: ann@example.com",
    "Subject: Fwd: Lunch",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"F1\"",
    "",
    "--F1",
    "Content-Type: text/plain; charset=us-ascii",
    "",
    "See below.",
    "--F1",
    "Content-Type: message/rfc822",
    "",
    "From: \"Carol\" <carol@example.com>",
    "Subject: Lunch",
    "MIME-Version: 1.0",
    "Content-Type: multipart/mixed; boundary=\"F2\"",
    "",
    "--F2",
    "Content-Type: text/plain",
    "",
    "At noon?",
    "--F2",
    "Content-Type: message/rfc822",
    "",
    "From: dan@example.com",
    "Subject: Menu",
    "",
    "Soup.",
    "--F2--",
    "--F1--",
};

const std::vector<std::string> kPlain = {"From: alice@example.com", "Subject: plain", "", "Hi Bob,", "second line."};

std::unique_ptr<TStringList> Lines(const std::vector<std::string>& AText) {
  auto list = std::make_unique<TStringList>();
  for (const auto& s : AText) list->Add(s);
  return list;
}

std::string Body(const std::vector<std::string>& AText, const std::string& ASection, const std::string& APartial = "") {
  TStringStream out;
  TqvImap4FetchBody::GetBody(*Lines(AText), "BODY[" + ASection + "]", out, ASection, APartial);
  return out.DataString();
}

std::string Structure(const std::vector<std::string>& AText) {
  TStringStream out;
  TqvImap4FetchBodyStructure::GetBodyStructure(*Lines(AText), out);
  return out.DataString();
}

std::string Envelope(const std::vector<std::string>& AText) {
  TStringStream out;
  TqvImap4FetchEnvelope::GetEnvelope(*Lines(AText), out);
  return out.DataString();
}

// Every "{n}" CRLF must be followed by exactly n bytes before the next token.
void ExpectLiteralsHold(const std::string& AText, size_t ALiteralEnd) {
  const size_t open = AText.find('{');
  ASSERT_NE(open, std::string::npos) << AText;
  const size_t close = AText.find("}\r\n", open);
  ASSERT_NE(close, std::string::npos);
  const size_t n = std::stoul(AText.substr(open + 1, close - open - 1));
  EXPECT_EQ(close + 3 + n, ALiteralEnd) << AText;
}

std::vector<std::string> Names(const std::string& AText) {
  TqvImap4FetchList list;
  list.Parse(AText);
  std::vector<std::string> out;
  for (int i = 0; i < list.GetCount(); ++i) {
    const auto& item = list.GetItem(i);
    out.push_back(item.Name + (item.Section.empty() ? "" : "[" + item.Section + "]") +
                  (item.Partial.empty() ? "" : "<" + item.Partial + ">"));
  }
  return out;
}

}  // namespace

TEST(ImapFetchList, ParsesItemsMacrosAndBodyForms) {
  using V = std::vector<std::string>;
  // BODY alone is the non-extensible structure, under a name no client sends.
  EXPECT_EQ(Names("BODY"), V{kFetchBodyShapeItem});
  EXPECT_EQ(Names("FULL UID"), (V{"UID", "FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", kFetchBodyShapeItem}));
  EXPECT_EQ(Names("body(shape)"), V{"BODY(SHAPE)"});
  EXPECT_EQ(Names("fast"), (V{"FLAGS", "INTERNALDATE", "RFC822.SIZE"}));
  EXPECT_EQ(Names("FLAGS BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.100> UID"),
            (V{"FLAGS", "BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.100>", "UID"}));
  // With or without the outer parentheses.
  EXPECT_EQ(Names("(FLAGS UID)"), (V{"FLAGS", "UID"}));
  EXPECT_EQ(Names("BODY.PEEK[HEADER.FIELDS (SUBJECT)]"), V{"BODY.PEEK[HEADER.FIELDS (SUBJECT)]"});
  // An unterminated bracket leaves the bare BODY.
  EXPECT_EQ(Names("BODY[HEADER"), V{kFetchBodyShapeItem});

  TqvImap4FetchList list;
  list.Parse("body[]");
  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.GetItem(0).Name, "BODY");
  EXPECT_EQ(list.GetItem(0).Section, "");
  EXPECT_TRUE(list.SectionsValid());
}

TEST(ImapFetchList, UnknownSectionWordsAndBadPartialsAreRefused) {
  for (const char* good : {"BODY[]", "BODY[1.2.MIME]", "BODY[TEXT]", "BODY[HEADER.FIELDS.NOT (A B)]", "BODY[2.HEADER]",
                           "BODY.PEEK[]<0.10>", "BODY[header.fields (subject)]"}) {
    TqvImap4FetchList list;
    list.Parse(good);
    EXPECT_TRUE(list.SectionsValid()) << good;
  }
  for (const char* bad : {"BODY[FOO]", "BODY[0]", "BODY[MIME]", "BODY[1.FOO]", "BODY[HEADER.FIELDS]",
                          "BODY[HEADER.FIELDS ()]", "BODY[TEXT.1]", "BODY[]<5>", "BODY[]<x.1>", "BODY[]<0.0>"}) {
    TqvImap4FetchList list;
    list.Parse(bad);
    EXPECT_FALSE(list.SectionsValid()) << bad;
  }
  EXPECT_EQ(Body(kMessageM, "FOO"), "BODY[FOO] NIL");
}

TEST(ImapFetchEnvelope, FieldsDefaultsGroupsRoutesAndQuotedNames) {
  EXPECT_EQ(Envelope(kMessageM),
            "ENVELOPE (\"Mon, 2 Mar 2026 10:00:00 +0100\" \"Hello\" ((\"Alice Example\" NIL \"alice\" "
            "\"example.com\")) ((\"Alice Example\" NIL \"alice\" \"example.com\")) ((\"Alice Example\" NIL \"alice\" "
            "\"example.com\")) ((NIL NIL \"bob\" \"example.org\")(\"Carol C\" NIL \"carol\" \"example.net\")) NIL NIL "
            "NIL \"<abc123@example.com>\")");
  // No Date, no Subject: NIL; Sender and Reply-To take From's value.
  EXPECT_EQ(Envelope(kPlain), "ENVELOPE (NIL \"plain\" ((NIL NIL \"alice\" \"example.com\")) ((NIL NIL \"alice\" "
                              "\"example.com\")) ((NIL NIL \"alice\" \"example.com\")) NIL NIL NIL NIL NIL)");
  EXPECT_EQ(Envelope({"From: a@x.example", ""}).substr(0, 15), "ENVELOPE (NIL N");
  EXPECT_NE(Envelope({"Subject:", ""}).find(" \"\" NIL"), std::string::npos);

  const std::string env = Envelope({"From: \"Doe, John\" <j@x.example>, anna@x.example (Anna)",
                                    "Subject: He said \"hi\" \\o/", "Reply-To: r@x.example",
                                    "In-Reply-To: <parent@x.example>", "Cc: ,", ""});
  EXPECT_NE(env.find("\"He said \\\"hi\\\" \\\\o/\""), std::string::npos) << env;
  // One address for the quoted comma; a comment names an address without a phrase.
  EXPECT_NE(env.find("((\"Doe, John\" NIL \"j\" \"x.example\")(\"Anna\" NIL \"anna\" \"x.example\"))"),
            std::string::npos)
      << env;
  EXPECT_NE(env.find(" ((NIL NIL \"r\" \"x.example\")) NIL NIL NIL \"<parent@x.example>\" NIL)"), std::string::npos)
      << env;
  // Groups open with the group's name and close with an all-NIL address.
  EXPECT_NE(Envelope({"To: undisclosed-recipients:;", ""})
                .find(" ((NIL NIL \"undisclosed-recipients\" NIL)(NIL NIL NIL NIL)) "),
            std::string::npos);
  EXPECT_NE(Envelope({"Cc: Friends: anna@x, \"Ben B\" <ben@x>;, carl@x", ""})
                .find("((NIL NIL \"Friends\" NIL)(NIL NIL \"anna\" \"x\")(\"Ben B\" NIL \"ben\" \"x\")"
                      "(NIL NIL NIL NIL)(NIL NIL \"carl\" \"x\"))"),
            std::string::npos);
  // A source route goes to its own member; an empty address is filled as the reference fills it.
  EXPECT_NE(Envelope({"From: <@route.example,@b.example:user@example.com>", ""})
                .find("((NIL \"@route.example,@b.example\" \"user\" \"example.com\"))"),
            std::string::npos);
  EXPECT_NE(Envelope({"Cc: \"Empty\" <>", ""}).find("((\"Empty\" NIL \"MISSING_MAILBOX\" \"MISSING_DOMAIN\"))"),
            std::string::npos);
  // An 8-bit subject travels as a literal.
  EXPECT_NE(Envelope({"Subject: caf\xc3\xa9", ""}).find("{5}\r\ncaf\xc3\xa9"), std::string::npos);
}

TEST(ImapFetchBodyStructure, SizesEndBeforeTheBoundaryAndMultipartsStayMultiparts) {
  // "Hi Bob," CRLF "second line." is 21 bytes and 1 line break: the CRLF
  // before the next delimiter is the delimiter's.
  EXPECT_EQ(Structure(kMessageM),
            "BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 21 1 NIL NIL NIL NIL)"
            "(\"application\" \"pdf\" (\"name\" \"a.pdf\") NIL NIL \"base64\" 12 NIL (\"attachment\" (\"filename\" "
            "\"a.pdf\")) NIL NIL) \"mixed\" (\"boundary\" \"XYZ\") NIL NIL NIL)");
  EXPECT_EQ(Structure(kPlain), "BODYSTRUCTURE (\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 23 2 NIL "
                               "NIL NIL NIL)");
  EXPECT_EQ(Structure(kNested),
            "BODYSTRUCTURE (((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 10 0 NIL NIL NIL NIL)"
            "(\"text\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 11 0 NIL NIL NIL NIL) \"alternative\" "
            "(\"boundary\" \"IN\") NIL NIL NIL)(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 12 0 "
            "NIL NIL NIL NIL) \"mixed\" (\"boundary\" \"OUT\") NIL NIL NIL)");
  // A multipart of one part is a multipart, at the top and below it.
  const std::vector<std::string> one = {"MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"A\"", "",
                                        "--A", "Content-Type: application/pdf", "", "JVBE", "--A--"};
  EXPECT_EQ(Structure(one), "BODYSTRUCTURE ((\"application\" \"pdf\" NIL NIL NIL \"7bit\" 4 NIL NIL NIL NIL) "
                            "\"mixed\" (\"boundary\" \"A\") NIL NIL NIL)");
  EXPECT_EQ(Body(one, "1"), "BODY[1] {4}\r\nJVBE");
  // A part number beyond the parts is an empty string, never other content.
  EXPECT_EQ(Body(one, "2"), "BODY[2] {0}\r\n");
  EXPECT_EQ(Body(kMessageM, "3"), "BODY[3] {0}\r\n");
  EXPECT_EQ(Body(kMessageM, "1.2"), "BODY[1.2] {0}\r\n");
  EXPECT_EQ(Body(kMessageM, "1.1"), "BODY[1.1] {21}\r\nHi Bob,\r\nsecond line.");
}

TEST(ImapFetchBodyStructure, FieldsComeFromThePartsOwnHeader) {
  const std::vector<std::string> m = {
      "MIME-Version: 1.0",
      "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; micalg=pgp-sha256; boundary=S",
      "",
      "--S",
      "Content-Type: text/plain; charset=utf-8; format=flowed; delsp=yes; name=\"notes.txt\"",
      "Content-Transfer-Encoding: 8bit",
      "Content-Description: Notes for you",
      "Content-Disposition: attachment; filename=\"notes.txt\"",
      "Content-ID: <n1@x>",
      "Content-Language: en, de",
      "Content-Location: notes.txt",
      "Content-MD5: AAAA",
      "",
      "caf\xc3\xa9",
      "--S",
      "Content-Type: image/png",
      "Content-Disposition: inline; filename=a.png",
      "Content-Transfer-Encoding: binary",
      "",
      "PNG",
      "--S",
      "Content-Type: application/pdf; name=\"=?UTF-8?B?w6TDtsO8IFJlY2hudW5nLnBkZg==?=\"",
      "Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20rates.bin",
      "Content-Description: ignored.txt",
      "",
      "x",
      "--S--"};
  EXPECT_EQ(Structure(m),
            "BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"utf-8\" \"format\" \"flowed\" \"delsp\" \"yes\" "
            "\"name\" \"notes.txt\") \"<n1@x>\" \"Notes for you\" \"8bit\" 5 0 \"AAAA\" (\"attachment\" "
            "(\"filename\" \"notes.txt\")) (\"en\" \"de\") \"notes.txt\")"
            "(\"image\" \"png\" NIL NIL NIL \"binary\" 3 NIL (\"inline\" (\"filename\" \"a.png\")) NIL NIL)"
            "(\"application\" \"pdf\" (\"name\" \"=?UTF-8?B?w6TDtsO8IFJlY2hudW5nLnBkZg==?=\") NIL \"ignored.txt\" "
            "\"7bit\" 1 NIL (\"attachment\" (\"filename*\" \"UTF-8''%E2%82%AC%20rates.bin\")) NIL NIL) \"signed\" "
            "(\"protocol\" \"application/pgp-signature\" \"micalg\" \"pgp-sha256\" \"boundary\" \"S\") NIL NIL NIL)");
  // BODY is the same tree without the extension data.
  TStringStream out;
  TqvImap4FetchBodyStructure::GetBody(*Lines(m), out);
  EXPECT_EQ(out.DataString(),
            "BODY ((\"text\" \"plain\" (\"charset\" \"utf-8\" \"format\" \"flowed\" \"delsp\" \"yes\" \"name\" "
            "\"notes.txt\") \"<n1@x>\" \"Notes for you\" \"8bit\" 5 0)(\"image\" \"png\" NIL NIL NIL \"binary\" 3)"
            "(\"application\" \"pdf\" (\"name\" \"=?UTF-8?B?w6TDtsO8IFJlY2hudW5nLnBkZg==?=\") NIL \"ignored.txt\" "
            "\"7bit\" 1) \"signed\")");
}

TEST(ImapFetchBodyStructure, DigestPartsAreMessagesAndNestingIsBounded) {
  const std::string d = Structure({"MIME-Version: 1.0", "Content-Type: multipart/digest; boundary=D", "", "--D", "",
                                   "Subject: one", "", "first", "--D--"});
  EXPECT_EQ(d, "BODYSTRUCTURE ((\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 21 (NIL \"one\" NIL NIL NIL NIL NIL NIL "
               "NIL NIL) (\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 5 0 NIL NIL NIL NIL) 2 NIL "
               "NIL NIL NIL) \"digest\" (\"boundary\" \"D\") NIL NIL NIL)");
  // Forwards inside forwards, far deeper than the limit: described to the
  // limit, the answer balanced and the stack untouched by the rest.
  std::vector<std::string> deep;
  for (int i = 0; i < 5000; ++i) {
    deep.push_back("Subject: level " + std::to_string(i));
    deep.push_back("Content-Type: message/rfc822");
    deep.push_back("");
  }
  deep.push_back("innermost");
  const std::string s = Structure(deep);
  EXPECT_NE(s.find("\"level 99\""), std::string::npos);
  EXPECT_EQ(s.find("\"level 101\""), std::string::npos);
  EXPECT_EQ(std::count(s.begin(), s.end(), '('), std::count(s.begin(), s.end(), ')'));
  EXPECT_TRUE(Body(deep, "1.1.1").starts_with("BODY[1.1.1] {"));
}

TEST(ImapFetchBody, SectionsInsideForwardedMessages) {
  // The part itself is the whole forwarded message; MIME is the part's header.
  // It ends in its own closing delimiter, whose CRLF it keeps.
  EXPECT_EQ(Body(kForward, "2").substr(0, 15), "BODY[2] {255}\r\n");
  EXPECT_EQ(Body(kForward, "2.MIME"), "BODY[2.MIME] {32}\r\nContent-Type: message/rfc822\r\n\r\n");
  // HEADER and TEXT are the forwarded message's.
  EXPECT_EQ(Body(kForward, "2.HEADER"), "BODY[2.HEADER] {118}\r\nFrom: \"Carol\" <carol@example.com>\r\n"
                                        "Subject: Lunch\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                                        "boundary=\"F2\"\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.HEADER.FIELDS (SUBJECT)"),
            "BODY[2.HEADER.FIELDS (SUBJECT)] {18}\r\nSubject: Lunch\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.TEXT").substr(0, 24), "BODY[2.TEXT] {137}\r\n--F2");
  // Numbers pick the forwarded message's parts, down through the next forward.
  EXPECT_EQ(Body(kForward, "2.1"), "BODY[2.1] {8}\r\nAt noon?");
  EXPECT_EQ(Body(kForward, "2.1.MIME"), "BODY[2.1.MIME] {28}\r\nContent-Type: text/plain\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.2.HEADER"), "BODY[2.2.HEADER] {40}\r\nFrom: dan@example.com\r\nSubject: Menu\r\n\r\n");
  EXPECT_EQ(Body(kForward, "2.2.TEXT"), "BODY[2.2.TEXT] {5}\r\nSoup.");
  // A forwarded message that is not multipart has its body as part 1.
  EXPECT_EQ(Body(kForward, "2.2.1"), "BODY[2.2.1] {5}\r\nSoup.");
  // HEADER and TEXT of a part that holds no message are empty.
  EXPECT_EQ(Body(kForward, "1.HEADER"), "BODY[1.HEADER] {0}\r\n");
  EXPECT_EQ(Body(kForward, "1.TEXT"), "BODY[1.TEXT] {0}\r\n");
  for (const char* section : {"2", "2.MIME", "2.HEADER", "2.TEXT", "2.1", "2.2", "2.2.1", "2.2.HEADER", "2.2.TEXT",
                              "2.2.1.MIME", "2.3", "2.2.2", "1.1"}) {
    const std::string out = Body(kForward, section);
    ExpectLiteralsHold(out, out.size());
  }
}

TEST(ImapFetchBody, SectionsOfTheSampleMessage) {
  const std::string m = Body(kMessageM, "");
  EXPECT_EQ(m.substr(0, 13), "BODY[] {500}\r");
  EXPECT_EQ(m.size(), 14u + 500u);
  EXPECT_EQ(Body(kMessageM, "1"), "BODY[1] {21}\r\nHi Bob,\r\nsecond line.");
  EXPECT_EQ(Body(kMessageM, "1.MIME"), "BODY[1.MIME] {46}\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n");
  EXPECT_EQ(Body(kMessageM, "2"), "BODY[2] {12}\r\nJVBERi0xLjQK");
  EXPECT_EQ(Body(kMessageM, "2.MIME").substr(0, 19), "BODY[2.MIME] {133}\r");
  EXPECT_EQ(Body(kMessageM, "HEADER").substr(0, 15), "BODY[HEADER] {2");
  // Fields in header order, each once, folded as stored; nothing matching is an empty header.
  EXPECT_EQ(Body(kMessageM, "HEADER.FIELDS (SUBJECT FROM subject)"),
            "BODY[HEADER.FIELDS (SUBJECT FROM subject)] {61}\r\nFrom: \"Alice Example\" <alice@example.com>\r\n"
            "Subject: Hello\r\n\r\n");
  EXPECT_EQ(Body(kMessageM, "HEADER.FIELDS.NOT (MIME-VERSION CONTENT-TYPE)").substr(0, 57),
            "BODY[HEADER.FIELDS.NOT (MIME-VERSION CONTENT-TYPE)] {185}");
  EXPECT_EQ(Body(kMessageM, "HEADER.FIELDS (X-NONE)"), "BODY[HEADER.FIELDS (X-NONE)] {2}\r\n\r\n");
  const std::vector<std::string> received = {"Received: from a", "\tby b; Mon, 2 Mar 2026", "X: 1",
                                             "Received: from c", "", "x"};
  EXPECT_EQ(Body(received, "HEADER.FIELDS (RECEIVED)"),
            "BODY[HEADER.FIELDS (RECEIVED)] {62}\r\nReceived: from a\r\n\tby b; Mon, 2 Mar 2026\r\nReceived: from "
            "c\r\n\r\n");
  EXPECT_EQ(Body(received, "HEADER.FIELDS.NOT (RECEIVED)"), "BODY[HEADER.FIELDS.NOT (RECEIVED)] {8}\r\nX: 1\r\n\r\n");
  // TEXT of a multipart message is everything after the header.
  EXPECT_EQ(Body(kMessageM, "TEXT").substr(0, 17), "BODY[TEXT] {249}\r");

  TStringStream header;
  TqvImap4FetchBody::GetBody(*Lines(kMessageM), "RFC822.HEADER", header, "HEADER");
  EXPECT_EQ(header.DataString().substr(0, 20), "RFC822.HEADER {251}\r");
}

TEST(ImapFetchBody, LiteralCountsEqualTheBytesWritten) {
  for (const auto* text : {&kMessageM, &kNested, &kPlain}) {
    for (const char* section : {"", "1", "2", "3", "1.1", "1.2", "1.MIME", "2.MIME", "1.TEXT", "TEXT", "HEADER",
                                "2.HEADER", "1.2.MIME", "1.1.5"}) {
      const std::string out = Body(*text, section);
      if (out.ends_with(" NIL")) continue;
      ExpectLiteralsHold(out, out.size());
    }
  }
  // The nested multipart as a part: its whole body, boundaries included.
  EXPECT_EQ(Body(kNested, "1"), "BODY[1] {115}\r\n--IN\r\nContent-Type: text/plain\r\n\r\nplain text\r\n--IN\r\n"
                                "Content-Type: text/html; charset=utf-8\r\n\r\n<p>html</p>\r\n--IN--\r\n");
  EXPECT_EQ(Body(kNested, "1.2"), "BODY[1.2] {11}\r\n<p>html</p>");
}

TEST(ImapFetchBody, PartialFetchSlicesAndEndsEmpty) {
  EXPECT_EQ(Body(kMessageM, "1", "0.2"), "BODY[1]<0> {2}\r\nHi");
  EXPECT_EQ(Body(kMessageM, "1", "3.100"), "BODY[1]<3> {18}\r\nBob,\r\nsecond line.");
  EXPECT_EQ(Body(kMessageM, "1", "21.10"), "BODY[1]<21> {0}\r\n");
  EXPECT_EQ(Body(kMessageM, "1", "4294967295.10"), "BODY[1]<4294967295> {0}\r\n");
}
