#include "sysconfig/component_inputs.h"

#include "config/component_context.h"

CatalogueSource LanguageCatalogue(const ComponentContext& context) {
    ConfigurationTexts* texts = context.texts;
    std::function<std::wstring()> language = context.language;
    return [texts, language]() -> std::wstring {
        if (!texts)
            return {};
        return texts->LanguageText(language ? language() : std::wstring());
    };
}
