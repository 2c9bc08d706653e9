// The AT command list the serial-port component carries as a setting: ordered entries of a command text and
// a handler slot for its answer. Nothing reads it while the port runs; it is stored, edited and copied.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class TATCommands;

using TOnATCommandRx = std::function<void(QObject* Sender, const QString& AParams)>;

class TATCommandItem {
public:
    explicit TATCommandItem(TATCommands* collection, int id) : FCollection(collection), FID(id) {}

    const QString& ATcmd() const { return FATcmd; }
    void SetATcmd(const QString& cmd) { FATcmd = cmd; }
    const TOnATCommandRx& OnATCommandRx() const { return FOnATCommandRx; }
    void SetOnATCommandRx(TOnATCommandRx handler) { FOnATCommandRx = std::move(handler); }

    // Copies the command only: a handler belongs to whoever set it, not to the copy.
    void Assign(const TATCommandItem& source) { FATcmd = source.FATcmd; }
    // The caption wherever the list is shown for editing.
    QString GetDisplayName() const { return FATcmd; }

    TATCommands* Collection() const { return FCollection; }
    int Index() const;
    int ID() const { return FID; }

private:
    TATCommands* FCollection;
    int FID;
    QString FATcmd;
    TOnATCommandRx FOnATCommandRx;
};

class TATCommands {
public:
    explicit TATCommands(QObject* AOwner = nullptr) : FOwner(AOwner) {}
    TATCommands(const TATCommands&) = delete;
    TATCommands& operator=(const TATCommands&) = delete;

    // The component that names the list when settings are stored or edited; not owned.
    QObject* GetOwner() const { return FOwner; }

    TATCommandItem* Add();
    // Index 0..Count(); outside it nothing is inserted and the result is null.
    TATCommandItem* Insert(int Index);
    // Null for an index outside the list.
    TATCommandItem* Items(int Index) const;
    // Copies the given entry's command into the entry at Index; false for an index outside the list.
    bool SetItems(int Index, const TATCommandItem& source);
    int Count() const { return int(FItems.size()); }
    void Delete(int Index);
    void Clear() { FItems.clear(); }
    // Replaces the entries with copies of the source's, in order; this list object stays its own.
    void Assign(const TATCommands& source);
    int IndexOf(const TATCommandItem* item) const;

private:
    QObject* FOwner;
    int FNextID = 0;
    std::vector<std::unique_ptr<TATCommandItem>> FItems;
};
