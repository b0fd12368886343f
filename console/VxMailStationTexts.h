// The console's own captions and messages, in UTF-8 (they are shown only,
// never stored, so they need not be code page 936 like the data they sit
// beside). One table so that the form and the tests use the same bytes.
#pragma once

namespace vxconsole::text {

inline constexpr char kApplicationTitle[] = "Fenwa邮件服务器配置程序";
inline constexpr char kFormCaption[] = "Fenwa邮件服务器";
inline constexpr char kBanner[] = "Fenwa邮件服务器";

inline constexpr char kSave[] = "保存配置";
inline constexpr char kRegService[] = "注册服务";
inline constexpr char kUninstall[] = "卸载服务";
inline constexpr char kStart[] = "启动服务";
inline constexpr char kStop[] = "停止服务";
inline constexpr char kRestart[] = "重启服务";

inline constexpr char kPageUsers[] = "用户账号";
inline constexpr char kPageSmtp[] = "SMTP设置";
inline constexpr char kPagePop3[] = "POP3设置";
inline constexpr char kPageImap[] = "IMAP设置";

inline constexpr char kColumnNumber[] = "序号";
inline constexpr char kColumnDisplayName[] = "账号名";
inline constexpr char kColumnUserName[] = "用户名";

inline constexpr char kLabelDisplayName[] = "账号名：";
inline constexpr char kLabelUser[] = "用户名：";
inline constexpr char kLabelPassword[] = "密码：";
inline constexpr char kAddUser[] = "新用户";
inline constexpr char kDeleteUser[] = "删除";

inline constexpr char kLabelPort[] = "端口：";
inline constexpr char kLabelMailboxFolder[] = "邮件文件夹：";
inline constexpr char kLabelRelayFolder[] = "转发文件夹：";
inline constexpr char kLabelBadFolder[] = "无效文件夹：";
inline constexpr char kLabelDnsServer[] = "DNS服务器：";
inline constexpr char kLabelRelayInterval[] = "转发延时(ms)";

inline constexpr char kStatusWelcome[] = "欢迎使用Fenwa软件";
inline constexpr char kStatusCountLabel[] = "已有邮箱个数";
inline constexpr char kStatusCountUnit[] = "个";

// The prefix of a new account's names; the row count follows it.
inline constexpr char kNewUserName[] = "新用户";

inline constexpr char kConfirmDelete[] = "确定删除该用户吗？";
// Asked on closing while accounts added since the last save are unconfirmed.
inline constexpr char kConfirmNewUsers[] = "新用户尚未保存，是否保存？";
inline constexpr char kConfirmCaption[] = "提示";
inline constexpr char kSaved[] = "保存成功！请重启服务。";
inline constexpr char kError[] = "错误，操作未成功！请检查。";
inline constexpr char kServiceExists[] = "服务已经存在！";
inline constexpr char kServiceMissing[] = "服务不存在！";
inline constexpr char kServiceAlreadyStarted[] = "服务已经启动!";  // ASCII "!" as shipped
inline constexpr char kServiceNotRunning[] = "服务未运行！";
inline constexpr char kSucceeded[] = "操作成功！";
inline constexpr char kFailed[] = "操作失败！";

}  // namespace vxconsole::text
