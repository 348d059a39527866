#include "prompt.h"

#include <cstdio>

#include "log.h"

namespace {

PromptHandler g_fnPromptHandler;

const char *AnswerName(PromptAnswer eAnswer)
{
    switch (eAnswer) {
    case PromptAnswer::Yes:
        return "Yes";
    case PromptAnswer::No:
        return "No";
    case PromptAnswer::Ok:
        break;
    }
    return "OK";
}

} // namespace

void PROMPT_SetHandler(PromptHandler fnHandler)
{
    g_fnPromptHandler = std::move(fnHandler);
}

PromptAnswer PROMPT_Ask(const PromptRequest &stRequest)
{
    return g_fnPromptHandler ? g_fnPromptHandler(stRequest) : PROMPT_Headless(stRequest);
}

void PROMPT_Show(const std::string &strText, const std::string &strCaption, PromptIcon eIcon)
{
    PROMPT_Ask({strText, strCaption, eIcon, PromptButtons::Ok, PromptAnswer::Ok});
}

PromptAnswer PROMPT_Headless(const PromptRequest &stRequest)
{
    LOG_Print(0, "PROMPT", "[%s] %s (answered %s)", stRequest.strCaption.c_str(),
              stRequest.strText.c_str(), AnswerName(stRequest.eDefault));
    fprintf(stderr, "%s: %s\n", stRequest.strCaption.c_str(), stRequest.strText.c_str());
    return stRequest.eDefault;
}

const char *WindowTitle()
{
    return "KIV Deploy System";
}
