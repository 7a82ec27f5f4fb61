// The HTML the server shows: the update reply (the marker and one word ends it), the
// creation form and its outcomes, the error pages. UTF-8, French as the client speaks.
#pragma once

#include <string>
#include <string_view>

namespace qserver {

std::string Page(std::string_view title, std::string_view content);
// The marker and the word end the body: the client joins all lines before reading it.
std::string UpdatePage(std::string_view word);
std::string CreationForm(const std::string& token, const std::string& zone);
std::string CreatedPage(const std::string& id, const std::string& fullName);
std::string RefusedPage(std::string_view explanation);
std::string ErrorPage(int status);
const char* StatusText(int status);

}  // namespace qserver
