// Opens the identifier creation page in the user's default browser.
#pragma once

#include <string>

namespace quorvel {

// The creation page's address for the service's web host: http://<host>/creer.php6.
std::wstring CreationPageAddress(const std::wstring& webHost);

// Hands the address to the default browser through a hidden "cmd.exe /C start", not waited
// for; when the command interpreter cannot be started, or the address holds characters the
// interpreter would act on, through the shell instead. Failures are ignored.
void OpenInBrowser(const std::wstring& address);

}  // namespace quorvel
