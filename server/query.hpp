// The request's text as the endpoints read it: query and form fields, case, and the request
// line as the log shows it. Pure functions over hostile input (fuzz/fuzz_query.cpp).
#pragma once

#include <string>
#include <string_view>

namespace qserver {

// One query or form field's value, with %XX and '+' undone.
std::string Unescape(std::string_view text);

// name=value&... : the first value of name, unescaped; found tells whether it was there.
std::string Field(std::string_view fields, std::string_view name, bool* found = nullptr);

// ASCII letters to lower case; other bytes as they are.
std::string Lower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// The request line for the log: an identifier is a credential, so of each ip_key= only a
// quarter, four characters at most, is shown.
std::string MaskedLine(std::string_view method, std::string uri, std::string_view version);

}  // namespace qserver
