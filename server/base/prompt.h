// Operator prompts: every message box and question of the server goes through one handler.
// The headless handler logs the prompt and answers with its default button; the web console
// installs its own handler.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class PromptIcon { None, Error, Warning, Information };
enum class PromptButtons { Ok, YesNo };
enum class PromptAnswer { Ok, Yes, No };

struct PromptRequest {
    std::string strText;
    std::string strCaption;
    PromptIcon eIcon = PromptIcon::None;
    PromptButtons eButtons = PromptButtons::Ok;
    PromptAnswer eDefault = PromptAnswer::Ok;
};

using PromptHandler = std::function<PromptAnswer(const PromptRequest &)>;

// "OK", "Yes" or "No".
const char *PROMPT_AnswerName(PromptAnswer eAnswer);

// Installs the handler used by PROMPT_Ask; an empty handler restores the headless one.
void PROMPT_SetHandler(PromptHandler fnHandler);
PromptAnswer PROMPT_Ask(const PromptRequest &stRequest);

// Shows a text with the OK button.
void PROMPT_Show(const std::string &strText, const std::string &strCaption,
                 PromptIcon eIcon = PromptIcon::None);

// Logs the prompt under "PROMPT" (level 0), echoes it on standard error so it is seen even before
// the log file exists, and returns the default button.
PromptAnswer PROMPT_Headless(const PromptRequest &stRequest);

// Choosing one item of a list (plug-ins, through utility slot 20).
struct ChoiceRequest {
    std::string strTitle;
    std::vector<std::string> vecItems;
    int iDefault = 0;
};
// The index chosen, or -1 when the operator cancels.
using ChoiceHandler = std::function<int(const ChoiceRequest &)>;

// Asking a user name and password (slot 21); the request carries the proposed values and the
// handler writes the answer into it.
struct CredentialsRequest {
    std::string strPrompt;
    std::string strUser;
    std::string strPassword;
};
// True when the operator confirmed.
using CredentialsHandler = std::function<bool(CredentialsRequest &)>;

// A progress indicator (slots 22-24): shown with a title and a total, advanced with a count and a
// text, closed.
enum class ProgressStep { Show, Advance, Close };
struct ProgressEvent {
    ProgressStep eStep = ProgressStep::Show;
    std::string strText;   // the title (Show) or the current item (Advance)
    uint32_t uiValue = 0;  // the total (Show) or the count done (Advance)
};
using ProgressHandler = std::function<void(const ProgressEvent &)>;

// Install the console's handlers; an empty handler restores the headless one.
void PROMPT_SetChoiceHandler(ChoiceHandler fnHandler);
void PROMPT_SetCredentialsHandler(CredentialsHandler fnHandler);
void PROMPT_SetProgressHandler(ProgressHandler fnHandler);

int PROMPT_Choose(const ChoiceRequest &stRequest);
bool PROMPT_AskCredentials(CredentialsRequest &stRequest);
void PROMPT_Progress(const ProgressEvent &stEvent);

// Headless answers, logged under "PROMPT": the default item (-1 when the list is empty), the
// proposed credentials confirmed (the password is not logged), progress logged.
int PROMPT_HeadlessChoose(const ChoiceRequest &stRequest);
bool PROMPT_HeadlessCredentials(CredentialsRequest &stRequest);
void PROMPT_HeadlessProgress(const ProgressEvent &stEvent);

// Caption of prompts that name none: the main window's title ("KIV Deploy System", or the OS
// name while a deployment runs).
const char *WindowTitle();
void SetWindowTitle(const std::string &strTitle);
