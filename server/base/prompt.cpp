#include "prompt.h"

#include <cstdio>

#include "log.h"

namespace {

PromptHandler g_fnPromptHandler;
std::string g_strWindowTitle = "KIV Deploy System";
ChoiceHandler g_fnChoiceHandler;
CredentialsHandler g_fnCredentialsHandler;
ProgressHandler g_fnProgressHandler;

}  // namespace

const char *PROMPT_AnswerName(PromptAnswer eAnswer)
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
              stRequest.strText.c_str(), PROMPT_AnswerName(stRequest.eDefault));
    fprintf(stderr, "%s: %s\n", stRequest.strCaption.c_str(), stRequest.strText.c_str());
    return stRequest.eDefault;
}

void PROMPT_SetChoiceHandler(ChoiceHandler fnHandler)
{
    g_fnChoiceHandler = std::move(fnHandler);
}

void PROMPT_SetCredentialsHandler(CredentialsHandler fnHandler)
{
    g_fnCredentialsHandler = std::move(fnHandler);
}

void PROMPT_SetProgressHandler(ProgressHandler fnHandler)
{
    g_fnProgressHandler = std::move(fnHandler);
}

int PROMPT_Choose(const ChoiceRequest &stRequest)
{
    return g_fnChoiceHandler ? g_fnChoiceHandler(stRequest) : PROMPT_HeadlessChoose(stRequest);
}

bool PROMPT_AskCredentials(CredentialsRequest &stRequest)
{
    return g_fnCredentialsHandler ? g_fnCredentialsHandler(stRequest)
                                  : PROMPT_HeadlessCredentials(stRequest);
}

void PROMPT_Progress(const ProgressEvent &stEvent)
{
    if (g_fnProgressHandler) {
        g_fnProgressHandler(stEvent);
    } else {
        PROMPT_HeadlessProgress(stEvent);
    }
}

int PROMPT_HeadlessChoose(const ChoiceRequest &stRequest)
{
    int iCount = static_cast<int>(stRequest.vecItems.size());
    int iChosen =
        iCount == 0
            ? -1
            : (stRequest.iDefault >= 0 && stRequest.iDefault < iCount ? stRequest.iDefault : 0);
    LOG_Print(0, "PROMPT", "[%s] %d items (answered %s)", stRequest.strTitle.c_str(), iCount,
              iChosen < 0 ? "none" : stRequest.vecItems[iChosen].c_str());
    return iChosen;
}

bool PROMPT_HeadlessCredentials(CredentialsRequest &stRequest)
{
    LOG_Print(0, "PROMPT", "[%s] (answered user %s)", stRequest.strPrompt.c_str(),
              stRequest.strUser.c_str());
    return true;
}

void PROMPT_HeadlessProgress(const ProgressEvent &stEvent)
{
    switch (stEvent.eStep) {
    case ProgressStep::Show:
        LOG_Print(0, "PROMPT", "Progress [%s] of %u", stEvent.strText.c_str(), stEvent.uiValue);
        break;
    case ProgressStep::Advance:
        LOG_Print(1, "PROMPT", "Progress %u: %s", stEvent.uiValue, stEvent.strText.c_str());
        break;
    case ProgressStep::Close:
        LOG_Print(0, "PROMPT", "Progress closed");
        break;
    }
}

const char *WindowTitle()
{
    return g_strWindowTitle.c_str();
}

void SetWindowTitle(const std::string &strTitle)
{
    g_strWindowTitle = strTitle;
}
