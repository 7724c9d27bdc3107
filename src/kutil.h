#ifndef KUTIL_H
#define KUTIL_H

#include <string>
#include <vector>

// String, path and Base64 helpers. Stateless; never instantiated.
class KUtil {
public:
    KUtil() = delete;

    // Padded standard Base64 without line breaks; empty in, empty out.
    static std::string base64Encode(const std::string& data);
    // Absolute directory of the running executable with a trailing "/": from /proc, else from
    // the name it was started by; empty when neither gives one.
    static std::string getAppDir();
    // Strips the space character (0x20) only, at both ends.
    static std::string stringTrim(const std::string& text);
    static std::string toUpperCase(const std::string& text);
    static bool contain(const std::string& text, const std::string& part);
    // Pieces between separators, empty pieces dropped; an empty separator gives the text whole.
    static std::vector<std::string> stringSplit(const std::string& text, const std::string& separator);
};

#endif
