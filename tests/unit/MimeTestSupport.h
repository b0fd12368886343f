// Shared fixtures for MIME message tests: the message corpus under
// tests/data/mime, payload capture for parsed messages, and a part-tree
// description that Python's email package (the oracle) and our parser both
// produce, so the two can be compared line for line.
#pragma once

#include "AsciiText.h"
#include "PythonOracle.h"
#include "Streams.h"
#include "StringList.h"
#include "qvMailMessage.h"
#include "qvMessageBody.h"
#include "qvTranslator.h"

#include <map>
#include <memory>
#include <string>

namespace testsupport {

inline std::string MimeDataPath(const std::string& AName) { return std::string(VX_TEST_DATA_DIR) + "/mime/" + AName; }

inline std::string ReadMimeData(const std::string& AName) { return ReadFileBytes(MimeDataPath(AName)); }

// Lines of a message text, as stored mail is handed to the parser.
inline void TextToLines(const std::string& AText, TStrings& ALines) { ALines.SetText(AText); }

inline std::string LinesToText(const TStrings& ALines) {
  std::string out;
  for (int i = 0; i < ALines.Count(); ++i) out += ALines.Strings(i) + "\r\n";
  return out;
}

// Keeps every decoded payload of a message being parsed, by body.
class TPayloadCapture {
 public:
  explicit TPayloadCapture(TqvMailMessage& AMessage) {
    AMessage.OnSaveAttachment = [](TObject*, TqvAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData,
                                   bool& Handled) {
      AData = std::make_unique<TStringStream>();
      Handled = true;
    };
    AMessage.OnDataAdded = [this](TObject*, TqvMessageBody* ABody, TStream& AData) {
      std::string bytes(static_cast<size_t>(AData.Size()), '\0');
      AData.SetPosition(0);
      AData.ReadBuffer(bytes.data(), AData.Size());
      Payloads[ABody] += bytes;
    };
  }
  std::map<const TqvMessageBody*, std::string> Payloads;
};

// One line per part, depth first: "multipart <type>" ... "end" around
// children; "leaf <type>|<charset>|<file name>|<payload>" for the rest, with
// text payloads' line ends folded to LF and trailing ones dropped, and
// message/rfc822 parts not entered.
inline const char* kDescribeScript = R"PY(
import sys, email, email.policy
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
out = []
def walk(part):
    ct = part.get_content_type()
    if ct.startswith('multipart/'):
        out.append('multipart ' + ct)
        for p in part.iter_parts():
            walk(p)
        out.append('end')
        return
    if ct == 'message/rfc822':
        out.append('leaf message/rfc822')
        return
    payload = part.get_payload(decode=True) or b''
    cs = ''
    if part.get_content_maintype() == 'text':
        payload = payload.replace(b'\r\n', b'\n').rstrip(b'\n')
        cs = part.get_content_charset() or ''
    out.append('leaf %s|%s|%s|%s' % (ct, cs, part.get_filename() or '', payload.hex()))
walk(msg)
open(sys.argv[2], 'w', encoding='utf-8').write('\n'.join(out) + '\n')
)PY";

inline std::string PythonDescribe(const std::string& AMessage) { return RunPython(kDescribeScript, AMessage); }

namespace detail {

inline std::string Lower(const std::string& s) { return plat::AsciiLowerCase(s); }

inline std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Utf8(const std::string& ALocal) {
  const TBytes b = TqvTranslator::GetBytes(ALocal, "utf-8");
  return std::string(b.begin(), b.end());
}

inline void DescribeBodies(const TqvMessageBodies& ABodies, const TPayloadCapture& ACapture, std::string& AOut) {
  for (int i = 0; i < ABodies.Count(); ++i) {
    const TqvMessageBody* body = ABodies.Items(i);
    std::string type = Lower(body->ContentType());
    if (type.empty()) type = "text/plain";
    if (const auto* multi = dynamic_cast<const TqvMultipartBody*>(body)) {
      AOut += "multipart " + type + "\n";
      DescribeBodies(multi->Bodies(), ACapture, AOut);
      AOut += "end\n";
      continue;
    }
    if (type == "message/rfc822") {
      AOut += "leaf message/rfc822\n";
      continue;
    }
    const auto found = ACapture.Payloads.find(body);
    std::string payload = found == ACapture.Payloads.end() ? std::string() : found->second;
    std::string charSet, fileName;
    if (const auto* text = dynamic_cast<const TqvTextBody*>(body)) {
      std::string folded;
      for (size_t k = 0; k < payload.size(); ++k)
        if (!(payload[k] == '\r' && k + 1 < payload.size() && payload[k + 1] == '\n')) folded += payload[k];
      while (!folded.empty() && folded.back() == '\n') folded.pop_back();
      payload = folded;
      charSet = Lower(text->CharSet());
    } else if (const auto* attachment = dynamic_cast<const TqvAttachmentBody*>(body)) {
      fileName = Utf8(attachment->FileName());
    }
    AOut += "leaf " + type + "|" + charSet + "|" + fileName + "|" + Hex(payload) + "\n";
  }
}

}  // namespace detail

// The same description of a message parsed by us.
inline std::string DescribeParsed(TqvMailMessage& AMessage, const TPayloadCapture& ACapture) {
  std::string out;
  if (AMessage.GetIsMultiPartContent()) {
    out += "multipart " + detail::Lower(AMessage.ContentType()) + "\n";
    detail::DescribeBodies(AMessage.Bodies(), ACapture, out);
    out += "end\n";
  } else {
    detail::DescribeBodies(AMessage.Bodies(), ACapture, out);
  }
  return out;
}

}  // namespace testsupport
