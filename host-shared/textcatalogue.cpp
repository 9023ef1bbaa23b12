// The host's texts in Latvian, English and Russian, addressed by short English
// keys, and the process-wide choice of language. The texts are compiled in;
// the placeholders "_VALID_TO", "%lu" and "PIN" are left for the dialogs to
// replace.
#include "textcatalogue.h"

#include <array>
#include <map>

namespace {

using Texts = std::array<std::string, 3>; // Latvian, English, Russian

const std::map<std::string, Texts> &catalogue()
{
    static const std::map<std::string, Texts> texts{
        {"plugin action auth",
         {"Autentifikāciju pieprasa",
          "Authentication required",
          "Требуется авторизация"}},
        {"plugin action sign",
         {"Parakstu pieprasa",
          "Signature required",
          "Требуется подпись"}},
        {"auth warning",
         {"Uzmanību!\nVietne vēlas jūs autentificēt, izmantojot nedrošu metodi.\nTurpiniet vienīgi gadījumā, ja pilnīgi uzticaties vietnei.",
          "Attention!\nThe website wants to authenticate you using an unsafe method.\nContinue only if you have complete trust in the site.",
          "Внимание!\nСайт желает вас аутентифицировать, используя небезопасный метод.\nПродолжайте только в том случае, если полностью доверяете сайту."}},
        {"auth warning jwt",
         {"",
          "",
          ""}},
        {"sign warning",
         {"Vietne pieprasa Jūsu elektronisko parakstu 1 datnes parakstīšanai.\nTurpiniet, ja uzticaties vietnei.",
          "The site requests your electronic signature to sign 1 file.\nContinue if you have trust in the site.",
          "Сайт требует вашей электронной подписи для подписи 1 файла.\nПродолжайте, если доверяете сайту."}},
        {"sign batch warning",
         {"Vietne pieprasa Jūsu elektronisko parakstu %lu datņu parakstīšanai.\nTurpiniet, ja uzticaties vietnei.",
          "The site requests your electronic signature to sign %lu files.\nContinue if you have trust in the site.",
          "Сайт требует вашей электронной подписи для подписи %lu файлов.\nПродолжайте, если доверяете сайту."}},
        {"valid to",
         {"Sertifikāts derīgs līdz: _VALID_TO",
          "The certificate is valid until: _VALID_TO",
          "Сертификат действителен до: _VALID_TO"}},
        {"certificate expired",
         {"Sertifikāta derīguma termiņš ir beidzies. ",
          "Certificate has expired. ",
          "Срок действия сертификата истек. "}},
        {"enter PIN",
         {"PIN:",
          "PIN:",
          "PIN:"}},
        {"incorrect PIN",
         {"Nepareizs PIN! ",
          "Incorrect PIN! ",
          "Неправильный PIN! "}},
        {"tries left",
         {"Atlikuši mēginājumi:",
          "Tries left:",
          "Возможных попыток:"}},
        {"plugin action cert",
         {"Sertifikātus pieprasa",
          "Certificates required",
          "Требуется сертификаты"}},
        {"cert request warning",
         {"Vietne pieprasa Jūsu sertifikātus.\nTurpiniet, ja uzticaties vietnei.",
          "The site requests your certificates.\nContinue if you have trust in the site.",
          "Сайт требует ваши сертификати.\nПродолжайте, если доверяете сайту."}},
        {"confirm",
         {"Apstiprināt",
          "Confirm",
          "Подтверждать"}},
        {"cancel",
         {"Atcelt",
          "Cancel",
          "Отменить"}},
        {"signing",
         {"Parakstīšana",
          "Signing",
          "Подписание"}},
        {"authentication",
         {"Autentifikācija",
          "Authentication",
          "Аутентификация"}},
        {"PIN blocked",
         {"PIN bloķēts, parakstīt nav iespējams!",
          "PIN blocked, cannot sign!",
          "PIN блокирован, невозможно подписать!"}},
        {"error",
         {"Kļūda",
          "Error",
          "Ошибка"}},
        {"sign",
         {"Parakstīt",
          "Sign",
          "Подписать"}},
        {"select certificate",
         {"Sertifikāta izvēle",
          "Select certificate",
          "Выбор сертификата"}},
        {"select",
         {"Izvēlēties",
          "Select",
          "Выбрать"}},
        {"certificate",
         {"Sertifikāts",
          "Certificate",
          "Сертификат"}},
        {"type",
         {"Tips",
          "Type",
          "Тип"}},
        {"cert info",
         {"Izvēloties sertifikātu es apstiprinu, ka mans vārds, uzvārds un personas kods tiks nosūtīts pakalpojuma sniedzējam.",
          "By selecting a certificate I accept that my name and personal ID code will be sent to service provider.",
          "Выбирая сертификат, я соглащаюсь с тем, что мое имя и личный код будут переданы представителю услуг."}},
    };
    return texts;
}

const std::map<std::string, int> &languages()
{
    static const std::map<std::string, int> table{
        {"lv", 0}, {"lat", 0}, {"en", 1}, {"eng", 1}, {"ru", 2}, {"rus", 2},
    };
    return table;
}

// English until a request selects another language.
int currentIndex = 1;

} // namespace

void TextCatalogue::setLanguage(const std::string &code)
{
    const auto found = languages().find(code);
    currentIndex = found == languages().end() ? 1 : found->second;
}

int TextCatalogue::currentLanguage() { return currentIndex; }

std::string TextCatalogue::get(const std::string &key)
{
    const auto found = catalogue().find(key);
    if (found == catalogue().end()) return key;
    return found->second[currentIndex];
}
