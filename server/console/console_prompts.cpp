#include "console_prompts.h"

#include <glib.h>

#include <memory>
#include <mutex>
#include <vector>

#include "console.h"
#include "console_bridge.h"
#include "console_state.h"
#include "log.h"
#include "prompt.h"

namespace {

struct OpenPrompt {
    uint64_t ullId = 0;
    Json::Value stRequest;
    bool bAnswered = false;
    Json::Value stAnswer;
};

std::mutex g_mtxPrompts;
std::vector<std::shared_ptr<OpenPrompt>> g_vecPrompts;  // the last one is on top
uint64_t g_ullNextPrompt = 1;
bool g_bCancelled = false;   // shutting down: every prompt takes its default
Json::Value g_stProgress;    // main thread only
bool g_bUnattended = false;  // main thread only
bool g_bConfirmed = false;
Json::Value g_stCollected(Json::arrayValue);

// Publishes the request and iterates the main context until it is answered. Null when it was
// cancelled by a shutdown.
Json::Value WaitForAnswer(Json::Value stRequest)
{
    auto pstPrompt = std::make_shared<OpenPrompt>();
    {
        std::lock_guard<std::mutex> stLock(g_mtxPrompts);
        if (g_bCancelled) {
            return Json::Value();
        }
        pstPrompt->ullId = g_ullNextPrompt++;
        stRequest["id"] = Json::UInt64(pstPrompt->ullId);
        pstPrompt->stRequest = stRequest;
        g_vecPrompts.push_back(pstPrompt);
    }
    CONSOLE_PublishState();
    for (;;) {
        {
            std::lock_guard<std::mutex> stLock(g_mtxPrompts);
            if (pstPrompt->bAnswered || g_bCancelled) {
                std::erase(g_vecPrompts, pstPrompt);
                break;
            }
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    CONSOLE_PublishState();
    return pstPrompt->bAnswered ? pstPrompt->stAnswer : Json::Value();
}

const char *IconName(PromptIcon eIcon)
{
    switch (eIcon) {
    case PromptIcon::Error:
        return "error";
    case PromptIcon::Warning:
        return "warning";
    case PromptIcon::Information:
        return "information";
    case PromptIcon::None:
        break;
    }
    return "none";
}

// The page names the buttons "ok", "yes" and "no".
std::string ButtonName(PromptAnswer eAnswer)
{
    gchar *pcName = g_ascii_strdown(PROMPT_AnswerName(eAnswer), -1);
    std::string strName = pcName;
    g_free(pcName);
    return strName;
}

PromptAnswer AskMessage(const PromptRequest &stRequest)
{
    LOG_Print(1, "PROMPT", "[%s] %s", stRequest.strCaption.c_str(), stRequest.strText.c_str());
    if (g_bUnattended) {
        g_stCollected.append(stRequest.strText);
        if (stRequest.eButtons == PromptButtons::YesNo && g_bConfirmed) {
            return PromptAnswer::Yes;
        }
        return stRequest.eDefault;
    }
    Json::Value stJson;
    stJson["kind"] = "message";
    stJson["text"] = stRequest.strText;
    stJson["caption"] = stRequest.strCaption;
    stJson["icon"] = IconName(stRequest.eIcon);
    stJson["buttons"] = stRequest.eButtons == PromptButtons::YesNo ? "yesno" : "ok";
    stJson["default"] = ButtonName(stRequest.eDefault);
    Json::Value stAnswer = WaitForAnswer(stJson);
    std::string strAnswer = stAnswer.isObject() ? stAnswer.get("answer", "").asString() : "";
    for (PromptAnswer eAnswer : {PromptAnswer::Yes, PromptAnswer::No}) {
        if (stRequest.eButtons == PromptButtons::YesNo && strAnswer == ButtonName(eAnswer)) {
            return eAnswer;
        }
    }
    return stRequest.eButtons == PromptButtons::Ok ? PromptAnswer::Ok : stRequest.eDefault;
}

int AskChoice(const ChoiceRequest &stRequest)
{
    if (g_bUnattended) {
        return PROMPT_HeadlessChoose(stRequest);
    }
    Json::Value stJson;
    stJson["kind"] = "choice";
    stJson["title"] = stRequest.strTitle;
    stJson["items"] = Json::Value(Json::arrayValue);
    for (const std::string &strItem : stRequest.vecItems) {
        stJson["items"].append(strItem);
    }
    stJson["default"] = stRequest.iDefault;
    Json::Value stAnswer = WaitForAnswer(stJson);
    if (stAnswer.isNull()) {
        return PROMPT_HeadlessChoose(stRequest);
    }
    int iIndex = stAnswer.get("index", -1).isInt() ? stAnswer.get("index", -1).asInt() : -1;
    return iIndex >= 0 && iIndex < int(stRequest.vecItems.size()) ? iIndex : -1;
}

bool AskCredentials(CredentialsRequest &stRequest)
{
    if (g_bUnattended) {
        return PROMPT_HeadlessCredentials(stRequest);
    }
    Json::Value stJson;
    stJson["kind"] = "credentials";
    stJson["prompt"] = stRequest.strPrompt;
    stJson["user"] = stRequest.strUser;
    Json::Value stAnswer = WaitForAnswer(stJson);
    if (stAnswer.isNull()) {
        return PROMPT_HeadlessCredentials(stRequest);
    }
    if (!stAnswer.get("ok", false).asBool()) {
        return false;
    }
    stRequest.strUser = stAnswer.get("user", "").asString();
    stRequest.strPassword = stAnswer.get("password", "").asString();
    return true;
}

void ShowProgress(const ProgressEvent &stEvent)
{
    switch (stEvent.eStep) {
    case ProgressStep::Show:
        g_stProgress = Json::Value(Json::objectValue);
        g_stProgress["title"] = stEvent.strText;
        g_stProgress["total"] = stEvent.uiValue;
        g_stProgress["done"] = 0;
        g_stProgress["text"] = "";
        break;
    case ProgressStep::Advance:
        if (g_stProgress.isObject()) {
            g_stProgress["done"] = stEvent.uiValue;
            g_stProgress["text"] = stEvent.strText;
        }
        break;
    case ProgressStep::Close:
        g_stProgress = Json::Value();
        break;
    }
    PROMPT_HeadlessProgress(stEvent);
    CONSOLE_PublishState();
}

}  // namespace

void CONSOLE_BeginUnattended(bool bConfirmed)
{
    g_bUnattended = true;
    g_bConfirmed = bConfirmed;
    g_stCollected = Json::Value(Json::arrayValue);
}

Json::Value CONSOLE_EndUnattended()
{
    g_bUnattended = false;
    g_bConfirmed = false;
    Json::Value stMessages = g_stCollected;
    g_stCollected = Json::Value(Json::arrayValue);
    return stMessages;
}

void CONSOLE_InstallPromptHandlers()
{
    {
        std::lock_guard<std::mutex> stLock(g_mtxPrompts);
        g_bCancelled = false;
    }
    PROMPT_SetHandler(AskMessage);
    PROMPT_SetChoiceHandler(AskChoice);
    PROMPT_SetCredentialsHandler(AskCredentials);
    PROMPT_SetProgressHandler(ShowProgress);
}

void CONSOLE_RemovePromptHandlers()
{
    PROMPT_SetHandler(nullptr);
    PROMPT_SetChoiceHandler(nullptr);
    PROMPT_SetCredentialsHandler(nullptr);
    PROMPT_SetProgressHandler(nullptr);
}

void CONSOLE_CancelPrompts()
{
    {
        std::lock_guard<std::mutex> stLock(g_mtxPrompts);
        g_bCancelled = true;
    }
    g_main_context_wakeup(nullptr);
}

bool CONSOLE_PromptOpen()
{
    std::lock_guard<std::mutex> stLock(g_mtxPrompts);
    return !g_vecPrompts.empty();
}

Json::Value CONSOLE_PromptJson()
{
    std::lock_guard<std::mutex> stLock(g_mtxPrompts);
    return g_vecPrompts.empty() ? Json::Value() : g_vecPrompts.back()->stRequest;
}

Json::Value CONSOLE_ProgressJson()
{
    return g_stProgress;
}

bool CONSOLE_AnswerPrompt(uint64_t ullId, const Json::Value &stAnswer)
{
    {
        std::lock_guard<std::mutex> stLock(g_mtxPrompts);
        auto it =
            std::find_if(g_vecPrompts.begin(), g_vecPrompts.end(),
                         [ullId](const auto &pstPrompt) { return pstPrompt->ullId == ullId; });
        if (it == g_vecPrompts.end() || (*it)->bAnswered) {
            return false;
        }
        (*it)->bAnswered = true;
        (*it)->stAnswer = stAnswer;
    }
    g_main_context_wakeup(nullptr);
    return true;
}
