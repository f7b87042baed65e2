#include "publisher/package/wire_names.h"

#include <array>
#include <cerrno>
#include <iconv.h>

namespace publisher {
namespace {

class Converter {
  public:
    Converter() : cd_(iconv_open("CP936", "UTF-8")) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    std::optional<std::string> Convert(std::string_view in) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            return std::nullopt;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out(in.size() * 2 + 8, '\0'); // no character grows beyond two bytes
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char* dst = out.data();
        size_t dstLeft = out.size();
        if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == size_t(-1) || srcLeft != 0)
            return std::nullopt;
        out.resize(out.size() - dstLeft);
        return out;
    }

  private:
    iconv_t cd_;
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

std::optional<std::string> ToCodePage936(std::string_view utf8) {
    // Loading runs on one thread at a time (start and reload), so one converter per thread is enough.
    thread_local Converter converter;
    return converter.Convert(utf8);
}

const char* WindowsNameProblem(std::string_view name) {
    if (name.empty())
        return "an empty name";
    for (unsigned char c : name) {
        if (c < 0x20)
            return "a control character";
        if (std::string_view("<>:\"/\\|?*").find(char(c)) != std::string_view::npos)
            return "one of the characters < > : \" / \\ | ? * that Windows forbids";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "a trailing dot or blank, which Windows drops";
    // Device names are reserved whatever follows the first dot, and with blanks before it.
    std::string stem;
    for (char c : name.substr(0, name.find('.')))
        stem += Lower(c);
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    static constexpr std::array<std::string_view, 4> kDevices{"con", "prn", "aux", "nul"};
    for (std::string_view d : kDevices)
        if (stem == d)
            return "a reserved device name";
    if (stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '0' &&
        stem[3] <= '9')
        return "a reserved device name";
    return nullptr;
}

} // namespace publisher
