// SPDX-License-Identifier: GPL-3.0-or-later
#include "upload/FailureText.h"

#include "ftp/Socket.h"

#include <cerrno>
#include <netdb.h>

using namespace Qt::StringLiterals;
using ftp::FailureKind;

namespace {

/// A reply as the server sent it, on one line: the lines of a multi-line
/// reply (and the two replies of a refused data connection) are kept, only
/// joined.
QString serverText(const std::string &text)
{
    return QString::fromUtf8(text).replace(u'\n', u" / "_s);
}

/// The common reasons a connection fails, in words; others as the system
/// gives them.
QString systemReason(int err, const std::string &detail)
{
    switch (err) {
    case ECONNREFUSED:
        return u"соединение отвергнуто"_s;
    case ETIMEDOUT:
        return u"время ожидания истекло"_s;
    case EHOSTUNREACH:
        return u"узел недоступен"_s;
    case ENETUNREACH:
        return u"сеть недоступна"_s;
    case ENETDOWN:
        return u"сеть не работает"_s;
    case ECONNRESET:
        return u"соединение сброшено"_s;
    case EPIPE:
        return u"соединение разорвано"_s;
    case ECONNABORTED:
        return u"соединение прервано"_s;
    case EADDRNOTAVAIL:
        return u"адрес недоступен"_s;
    case EACCES:
    case EPERM:
        return u"доступ запрещён"_s;
    case ENOENT:
        return u"файл не найден"_s;
    case 0:
        return QString::fromStdString(detail);
    default:
        return QString::fromStdString(ftp::errnoText(err));
    }
}

QString resolverReason(const ftp::Failure &failure)
{
    if (failure.seconds > 0)
        return u"время ожидания истекло"_s;
    switch (failure.systemError) {
    case EAI_NONAME:
        return u"имя не найдено"_s;
    case EAI_AGAIN:
        return u"сервер имён не ответил"_s;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return u"у имени нет адреса"_s;
    case EAI_FAIL:
        return u"сбой сервера имён"_s;
    case 0:
        return QString::fromStdString(failure.detail);
    default:
        return QString::fromUtf8(gai_strerror(failure.systemError));
    }
}

// The failures of a data connection.
QString dataConnectionText(const ftp::Failure &failure)
{
    const QString reply = serverText(failure.reply);
    switch (failure.kind) {
    case FailureKind::DataConnect:
        return u"Нет соединения для данных с %1: %2"_s.arg(
            QString::fromStdString(failure.endpoint),
            systemReason(failure.systemError, failure.detail));
    case FailureKind::DataListen:
        return u"Не удалось ждать соединения для данных: %1"_s.arg(
            systemReason(failure.systemError, failure.detail));
    case FailureKind::DataNotOpened:
        if (failure.reply.empty())
            return u"Сервер не открыл соединение для данных за %1 с"_s.arg(failure.seconds);
        return u"Сервер не открыл соединение для данных: %1"_s.arg(reply);
    case FailureKind::DataTls:
        if (failure.detail.empty())
            return u"Соединение для данных предъявило чужой сертификат"_s;
        return u"Не удалось зашифровать соединение для данных: %1"_s.arg(
            QString::fromStdString(failure.detail));
    case FailureKind::DataLost:
        if (failure.seconds > 0)
            return u"Передача данных замерла на %1 с"_s.arg(failure.seconds);
        return u"Соединение для данных прервано: %1"_s.arg(
            systemReason(failure.systemError, failure.detail));
    default:
        return {};
    }
}

} // namespace

QString failureText(const ftp::Failure &failure)
{
    const QString reply = serverText(failure.reply);
    const QString detail = QString::fromStdString(failure.detail);
    const QString endpoint = QString::fromStdString(failure.endpoint);
    const QString command = QString::fromStdString(failure.command);
    switch (failure.kind) {
    case FailureKind::None:
    case FailureKind::Stopped: // the user's own doing: nothing failed
        return {};
    case FailureKind::ServerField:
        return u"Неверное имя сервера: \"%1\""_s.arg(detail);
    case FailureKind::Resolve:
        return u"Сервер %1 не найден: %2"_s.arg(endpoint, resolverReason(failure));
    case FailureKind::Connect:
        return u"Нет соединения с %1: %2"_s.arg(endpoint,
                                                systemReason(failure.systemError, failure.detail));
    case FailureKind::Greeting:
        return u"Сервер не принял соединение: %1"_s.arg(reply);
    case FailureKind::TlsRefused:
        return u"Сервер отказал в шифровании: %1"_s.arg(reply);
    case FailureKind::Tls:
        return u"Не удалось установить шифрованное соединение: %1"_s.arg(detail);
    case FailureKind::Certificate:
        return u"Сертификат сервера отклонён: %1"_s.arg(detail);
    case FailureKind::TlsWithdrawn:
        if (failure.reply.empty())
            return u"Сервер раньше шифровал соединение, а теперь не предлагает TLS; "
                   u"пароль открытым текстом не отправлен"_s;
        return u"Сервер раньше шифровал соединение, а теперь отказал в TLS; пароль открытым "
               u"текстом не отправлен: %1"_s.arg(reply);
    case FailureKind::Login:
        return u"Сервер отказал во входе: %1"_s.arg(reply);
    case FailureKind::LineBreak:
        if (failure.command == "USER")
            return u"Имя пользователя или пароль содержит перевод строки"_s;
        return u"Путь содержит перевод строки, команда %1 не отправлена"_s.arg(command);
    case FailureKind::CommandRefused:
        return u"Сервер отверг команду %1: %2"_s.arg(command, reply);
    case FailureKind::PassiveRefused:
        return u"Сервер отказал в пассивном режиме: %1"_s.arg(reply);
    case FailureKind::ActiveRefused:
        return u"Сервер отказал в активном режиме: %1"_s.arg(reply);
    case FailureKind::DataRefused:
        return u"Сервер отказал в пассивном и активном режиме: %1"_s.arg(reply);
    case FailureKind::DataConnect:
    case FailureKind::DataListen:
    case FailureKind::DataNotOpened:
    case FailureKind::DataTls:
    case FailureKind::DataLost:
        return dataConnectionText(failure);
    case FailureKind::FinalReply:
        if (failure.command == "STOR" || failure.command == "APPE")
            return u"Сервер не подтвердил приём файла: %1"_s.arg(reply);
        return u"Сервер не подтвердил передачу: %1"_s.arg(reply);
    case FailureKind::Timeout:
        return u"Сервер не ответил за %1 с"_s.arg(failure.seconds);
    case FailureKind::Closed:
        if (failure.reply.empty())
            return u"Сервер закрыл соединение"_s;
        return u"Сервер закрыл соединение: %1"_s.arg(reply);
    case FailureKind::Lost:
        return u"Соединение с сервером потеряно: %1"_s.arg(
            systemReason(failure.systemError, failure.detail));
    case FailureKind::BadReply:
        return u"Непонятный ответ сервера: %1"_s.arg(detail);
    case FailureKind::NotConnected:
        return u"Нет соединения с сервером"_s;
    case FailureKind::LocalFile:
        return u"Не удалось прочитать файл %1: %2"_s.arg(
            detail, systemReason(failure.systemError, failure.detail));
    }
    return {};
}
