#include "server/pages.hpp"

#include "protocol/reply_words.hpp"

namespace qserver {

std::string Page(std::string_view title, std::string_view content) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"fr\">\n<head><meta charset=\"utf-8\"><title>";
  html += title;
  html += "</title></head>\n<body>\n";
  html += content;
  html += "</body>\n</html>\n";
  return html;
}

std::string UpdatePage(std::string_view word) {
  return Page("Quorvel", "<p>Mise &agrave; jour de l'adresse IP.</p>\n") +
         quorvel::protocol::kReplyMarker.text + std::string(word);
}

std::string CreationForm(const std::string& token, const std::string& zone) {
  const std::string suffix = zone.empty() ? "" : "." + zone;
  return Page("Quorvel : créer un identifiant unique",
              "<h1>Créer un identifiant unique</h1>\n"
              "<p>Quorvel met à jour l'adresse IP de votre connexion sous un nom. Choisissez le "
              "nom, créez votre identifiant unique, puis recopiez-le dans Quorvel.</p>\n"
              "<form method=\"post\" action=\"/creer.php6\">\n"
              "<label>Nom : <input name=\"nom\" required maxlength=\"63\" "
              "pattern=\"[a-z0-9]([a-z0-9-]*[a-z0-9])?\"></label>" +
                  suffix +
                  "\n"
                  "<p>Lettres minuscules, chiffres et traits d'union (pas au début ni à la fin), "
                  "63 caractères au plus.</p>\n"
                  "<input type=\"hidden\" name=\"nouveau\" value=\"1\">\n"
                  "<input type=\"hidden\" name=\"jeton\" value=\"" +
                  token +
                  "\">\n"
                  "<button type=\"submit\">Créer mon identifiant</button>\n"
                  "</form>\n");
}

std::string CreatedPage(const std::string& id, const std::string& fullName) {
  return Page("Quorvel : votre identifiant unique",
              "<h1>Votre identifiant unique</h1>\n"
              "<p id=\"identifiant\" style=\"font-size:2em\"><strong>" +
                  id +
                  "</strong></p>\n"
                  "<p>Nom : <strong id=\"nom-complet\">" +
                  fullName +
                  "</strong></p>\n"
                  "<p><strong>Cet identifiant est un secret.</strong> Quiconque le connaît peut changer "
                  "l'adresse de " +
                  fullName +
                  " : ne le montrez à personne. Il n'est affiché "
                  "qu'une fois ; le serveur n'en garde pas de copie lisible.</p>\n"
                  "<p>Recopiez-le dans Quorvel, dans la case « Votre identifiant unique: », "
                  "puis cliquez sur « Activer le service ».</p>\n"
                  "<p><a href=\"/creer.php6\">Créer un autre identifiant</a></p>\n");
}

std::string RefusedPage(std::string_view explanation) {
  return Page("Quorvel : création refusée",
              "<h1>Création refusée</h1>\n<p>" + std::string(explanation) + "</p>\n");
}

std::string ErrorPage(int status) {
  const std::string title = std::to_string(status) + " " + StatusText(status);
  return Page(title, "<h1>" + title + "</h1>\n");
}

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 507:
      return "Insufficient Storage";
    default:
      return "Error";
  }
}

}  // namespace qserver
