// The certificate record's attributes as JSON keys: values are not escaped, so an apostrophe or
// a blank inside a value must not end it, and ID may occur more than once.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "peer/Commands.h"

namespace {

using nlohmann::json;

TEST(RecordFields, ValuesAsWrittenAndRepeatedIdAsList) {
    const struct {
        const char* record;
        json fields;
    } cases[] = {
        {"", json::object()},
        {" SerialNo='0a1b'", {{"SerialNo", "0a1b"}}},
        {" EMAIL='o'neil@example.org' SerialNo='01' SubjectDN='CN=A B, O=It's'",
         {{"EMAIL", "o'neil@example.org"}, {"SerialNo", "01"}, {"SubjectDN", "CN=A B, O=It's"}}},
        // An apostrophe and blank inside a value that look like a name that is not one.
        {" SubjectDN='x' Foo='y' ID='A1' ID='12345678'",
         {{"SubjectDN", "x' Foo='y"}, {"ID", {"A1", "12345678"}}}},
        {" SerialNo=''", {{"SerialNo", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        EXPECT_EQ(peer::RecordFields(c.record), c.fields);
    }
}

} // namespace
