#ifndef JSONREADER_H
#define JSONREADER_H

#include <string>
#include <utility>
#include <vector>

// A strict reader for a flat JSON object whose values are all strings, as the usage record is.
// Members come back in text order; false when the text is not such an object. \u escapes are
// accepted for code points below 0x100 only, which is all the record ever needs.
bool readFlatJsonObject(const std::string& text,
                        std::vector<std::pair<std::string, std::string>>& members);

#endif
