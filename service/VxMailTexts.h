// The host's own texts, as the code page 936 bytes the log and the settings
// file hold. The readable text stands in the comment beside each; a unit test
// converts every entry back and compares.
#pragma once

namespace vxtext {

// Fenwa邮件服务器 (service display name and application title)
inline constexpr char kDisplayName[] = "Fenwa\xd3\xca\xbc\xfe\xb7\xfe\xce\xf1\xc6\xf7";
// 发送转发命令: 
inline constexpr char kRelaySendCommand[] = "\xb7\xa2\xcb\xcd\xd7\xaa\xb7\xa2\xc3\xfc\xc1\xee: ";
// 接收转发响应: 
inline constexpr char kRelayReceiveResponse[] = "\xbd\xd3\xca\xd5\xd7\xaa\xb7\xa2\xcf\xec\xd3\xa6: ";
// 接受连接. 主机: 
inline constexpr char kAcceptConnection[] = "\xbd\xd3\xca\xdc\xc1\xac\xbd\xd3. \xd6\xf7\xbb\xfa: ";
// 断开连接. 主机: 
inline constexpr char kCloseConnection[] = "\xb6\xcf\xbf\xaa\xc1\xac\xbd\xd3. \xd6\xf7\xbb\xfa: ";
// 命令: 
inline constexpr char kReceiveCommand[] = "\xc3\xfc\xc1\xee: ";
// 转发: 
inline constexpr char kSendResponse[] = "\xd7\xaa\xb7\xa2: ";
// 异常 !!!
inline constexpr char kServerError[] = "\xd2\xec\xb3\xa3 !!!";
// 启动服务
inline constexpr char kServerStart[] = "\xc6\xf4\xb6\xaf\xb7\xfe\xce\xf1";
// 停止服务
inline constexpr char kServerStop[] = "\xcd\xa3\xd6\xb9\xb7\xfe\xce\xf1";
// 处理队列
inline constexpr char kProcessQueue[] = "\xb4\xa6\xc0\xed\xb6\xd3\xc1\xd0";
// 传送错误: 代码 = %d, 错误 = %d, 信息 = %s, %s 复制到错误文件夹 - %s (printf format)
inline constexpr char kDeliveryError[] = "\xb4\xab\xcb\xcd\xb4\xed\xce\xf3: \xb4\xfa\xc2\xeb = %d, \xb4\xed\xce\xf3 = %d, \xd0\xc5\xcf\xa2 = %s, %s \xb8\xb4\xd6\xc6\xb5\xbd\xb4\xed\xce\xf3\xce\xc4\xbc\xfe\xbc\xd0 - %s";
// 成功
inline constexpr char kCopySucceeded[] = "\xb3\xc9\xb9\xa6";
// 复制失败
inline constexpr char kCopyFailed[] = "\xb8\xb4\xd6\xc6\xca\xa7\xb0\xdc";

// 删除临时文件:  (followed by the number removed at service start)
inline constexpr char kTempFilesRemoved[] = "\xc9\xbe\xb3\xfd\xc1\xd9\xca\xb1\xce\xc4\xbc\xfe: ";
// 文件描述符上限:  (followed by the old and the new soft limit)
inline constexpr char kDescriptorLimit[] = "\xce\xc4\xbc\xfe\xc3\xe8\xca\xf6\xb7\xfb\xc9\xcf\xcf\xde: ";

// The relay queue's own lines.
// 收件人被拒绝:  (then the recipient, kCodeField and kInfoField)
inline constexpr char kRecipientRefused[] = "\xca\xd5\xbc\xfe\xc8\xcb\xb1\xbb\xbe\xdc\xbe\xf8: ";
// 收件人暂缓:  (then the recipient, kCodeField and kInfoField: to be tried again)
inline constexpr char kRecipientDeferred[] = "\xca\xd5\xbc\xfe\xc8\xcb\xd4\xdd\xbb\xba: ";
// 域名暂缓:  (then the domain, kCodeField, kErrorField and kInfoField: to be tried again)
inline constexpr char kDomainDeferred[] = "\xd3\xf2\xc3\xfb\xd4\xdd\xbb\xba: ";
// 稍后重试:  (then the envelope file, kRecipientsField and kWaitField)
inline constexpr char kRetryLater[] = "\xc9\xd4\xba\xf3\xd6\xd8\xca\xd4: ";
// 排队时间已到:  (then the envelope file: too old to wait again)
inline constexpr char kGivenUp[] = "\xc5\xc5\xb6\xd3\xca\xb1\xbc\xe4\xd2\xd1\xb5\xbd: ";
// 信封没有收件人:  (then the envelope file, left in the queue)
inline constexpr char kNoRecipients[] = "\xd0\xc5\xb7\xe2\xc3\xbb\xd3\xd0\xca\xd5\xbc\xfe\xc8\xcb: ";
// , 代码 = 
inline constexpr char kCodeField[] = ", \xb4\xfa\xc2\xeb = ";
// , 错误 = 
inline constexpr char kErrorField[] = ", \xb4\xed\xce\xf3 = ";
// , 信息 = 
inline constexpr char kInfoField[] = ", \xd0\xc5\xcf\xa2 = ";
// , 收件人 =  (the number still owed)
inline constexpr char kRecipientsField[] = ", \xca\xd5\xbc\xfe\xc8\xcb = ";
// , 等待秒数 = 
inline constexpr char kWaitField[] = ", \xb5\xc8\xb4\xfd\xc3\xeb\xca\xfd = ";
// 另存为  (after the copy outcome: the bad-mail folder's file, when its own name was taken)
inline constexpr char kSavedAs[] = "\xc1\xed\xb4\xe6\xce\xaa ";

}  // namespace vxtext
