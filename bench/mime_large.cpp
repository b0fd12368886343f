// Builds or parses one message with a large attachment through the streamed
// paths, for bench/mime_memory.py to measure its peak memory:
//   mime_large build  <attachment> <message out>   [lines]
//   mime_large parse  <message>    <attachment out> [lines]
// "lines" goes through MessageSource (the whole text as a line list) instead,
// for comparison.
#include "Streams.h"
#include "StringList.h"
#include "qvMailMessage.h"
#include "qvStringsUtils.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: mime_large build|parse <in> <out> [lines]\n");
    return 2;
  }
  const std::string mode = argv[1], in = argv[2], out = argv[3];
  const bool lines = argc > 4 && std::string(argv[4]) == "lines";
  try {
    TqvMailMessage m;
    if (mode == "build") {
      m.From().SetFullAddress("bench@example.com");
      m.ToList().AddFullAddress("peer@example.com");
      m.SetSubject("Large attachment");
      m.Bodies().Add<TqvTextBody>()->Strings().Add("The file is attached.");
      m.Bodies().AddAttachment(in);
      TFileStream dest(out, fmCreate);
      if (lines)
        SaveStringsToStream(m.MessageSource(), dest);
      else
        m.SaveToStream(dest);
      return 0;
    }
    m.OnSaveAttachment = [&](TObject*, TqvAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData, bool& H) {
      AData = std::make_unique<TFileStream>(out, fmCreate);
      H = true;
    };
    TFileStream source(in, fmOpenRead);
    if (lines) {
      TStringList text;
      text.LoadFromStream(source);
      m.SetMessageSource(text);
    } else {
      m.LoadFromStream(source);
    }
    return m.Bodies().Count() == 2 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mime_large: %s\n", e.what());
    return 1;
  }
}
