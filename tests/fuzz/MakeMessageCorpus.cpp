// Writes the fuzzer's seed messages, one flattened message per file, into
// the directory given as the only argument.

#include "Message.h"
#include "Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool Write(const std::string& directory, const char* name, const BMessage& message)
{
    std::string path = directory + "/" + name;
    std::vector<uint8> flat = message.Flatten();
    FILE* file = fopen(path.c_str(), "wb");
    bool ok = file != nullptr && fwrite(flat.data(), 1, flat.size(), file) == flat.size();
    if (file != nullptr && fclose(file) != 0)
        ok = false;
    if (!ok)
        ReportFailure("write " + path, strerror(errno));
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    std::string directory = argv[1];

    BMessage quit(B_QUIT_REQUESTED);

    BMessage every(FourCC("evry"));
    every.AddBool("on", true);
    every.AddInt8("wave", -3);
    every.AddInt32("delta", -70000);
    every.AddString("label", "drone");

    BMessage multi(FourCC("mult"));
    for (int32 i = 0; i < 4; i++) {
        multi.AddInt32("delay", i * 1000);
        multi.AddBool("flags", i % 2 == 0);
        multi.AddString("names", std::string(static_cast<size_t>(i), 'a').c_str());
    }

    BMessage fields(FourCC("many"));
    for (int i = 0; i < 12; i++)
        fields.AddInt8(("f" + std::to_string(i)).c_str(), static_cast<int8>(i));

    // Raw bytes: NULs, an empty value, and values after a string.
    BMessage raw(FourCC("snap"));
    const uint8 bytes[] = { 0, 1, 0xff, 0, 'G', 'W', 'M', 1 };
    raw.AddString("kind", "state");
    raw.AddData("bytes", B_RAW_TYPE, bytes, sizeof(bytes));
    raw.AddData("bytes", B_RAW_TYPE, bytes, 0);
    raw.AddInt32("rate", 48000);

    bool ok = Write(directory, "seed-empty", BMessage())
        && Write(directory, "seed-quit", quit)
        && Write(directory, "seed-every-type", every)
        && Write(directory, "seed-multiple-values", multi)
        && Write(directory, "seed-many-fields", fields)
        && Write(directory, "seed-raw", raw);
    return ok ? 0 : 1;
}
