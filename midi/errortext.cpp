#include "errortext.h"

namespace midi {

QString standardErrorText(MmResult code)
{
    switch (code) {
    case result::NoError: return QStringLiteral("操作成功。");
    case result::Error: return QStringLiteral("MIDI 输出发生了未指明的错误。");
    case result::BadDeviceId: return QStringLiteral("没有这个 MIDI 输出设备（设备号超出范围）。");
    case result::NotEnabled: return QStringLiteral("MIDI 输出驱动程序未能启用。");
    case result::Allocated: return QStringLiteral("该 MIDI 输出设备正被占用。");
    case result::InvalidHandle: return QStringLiteral("没有打开的 MIDI 输出设备（设备句柄无效）。");
    case result::NoDriver: return QStringLiteral("没有可用的 MIDI 输出驱动程序。");
    case result::NoMem: return QStringLiteral("内存不足，无法完成 MIDI 输出。");
    case result::NotSupported: return QStringLiteral("MIDI 输出设备不支持该功能。");
    case result::BadErrNum: return QStringLiteral("错误号超出范围。");
    case result::InvalidFlag: return QStringLiteral("MIDI 输出收到了无效的标志。");
    case result::InvalidParam: return QStringLiteral("MIDI 输出收到了无效的参数。");
    case result::MidiNotReady: return QStringLiteral("MIDI 输出设备未就绪：它的输出已停止。");
    case result::MidiNoDevice: return QStringLiteral("MIDI 输出端口已不存在，请重新选择设备。");
    default: return {};
    }
}

QString refusalText(std::uint32_t packed, ShortMessage::Fault fault)
{
    const QString byte = QStringLiteral("0x%1").arg(unsigned(fault.byte), 2, 16, QLatin1Char('0'));
    const QString message = QStringLiteral("0x%1").arg(packed, 8, 16, QLatin1Char('0'));
    if (fault.kind == ShortMessage::Fault::Status)
        return QStringLiteral("%1 未发送：状态字节 %2 不能作为短消息发送。").arg(message, byte);
    return QStringLiteral("%1 未发送：数据字节 %2 超出了 0 到 0x7F 的范围。").arg(message, byte);
}

MmResult ErrorReasons::fail(MmResult code, const QString &reason)
{
    reasons_[code] = reason;
    return code;
}

QString ErrorReasons::text(MmResult code) const
{
    QString text = standardErrorText(code);
    const auto it = reasons_.find(code);
    if (!text.isEmpty() && it != reasons_.end() && !it->second.isEmpty())
        text += QStringLiteral("\n原因：") + it->second;
    return text;
}

MmResult ErrorReasons::getErrorText(MmResult code, char16_t *buffer, std::uint32_t chars) const
{
    const QString t = text(code);
    if (t.isEmpty())
        return result::BadErrNum;
    copyText(std::u16string_view(reinterpret_cast<const char16_t *>(t.utf16()), t.size()), buffer, chars);
    return result::NoError;
}

} // namespace midi
