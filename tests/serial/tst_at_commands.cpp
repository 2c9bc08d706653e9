// The AT command list: order, insertion, item assignment, and the copy the component makes of a list.
// labels: unit
#include "ATCommands.h"

#include <QObject>
#include <gtest/gtest.h>

namespace {

QStringList Commands(const TATCommands& list) {
    QStringList out;
    for (int i = 0; i < list.Count(); ++i)
        out << list.Items(i)->ATcmd();
    return out;
}

TEST(ATCommands, AddAndInsertKeepOrderIndexAndCreationIds) {
    QObject owner;
    TATCommands list(&owner);
    EXPECT_EQ(list.GetOwner(), &owner);
    EXPECT_EQ(list.Count(), 0);
    list.Add()->SetATcmd("AT");
    list.Add()->SetATcmd("ATI");
    TATCommandItem* first = list.Insert(0);
    EXPECT_EQ(first->ATcmd(), "");
    EXPECT_EQ(first->GetDisplayName(), "");
    EXPECT_EQ(Commands(list), (QStringList{"", "AT", "ATI"}));
    EXPECT_EQ(first->Index(), 0);
    EXPECT_EQ(list.Items(2)->Index(), 2);
    EXPECT_EQ(list.Items(1)->ID(), 0); // IDs follow creation, not position
    EXPECT_EQ(first->ID(), 2);
    EXPECT_EQ(first->Collection(), &list);
    EXPECT_EQ(list.Items(2)->GetDisplayName(), "ATI");

    // Outside 0..Count() nothing is inserted; Count() itself appends.
    EXPECT_EQ(list.Insert(4), nullptr);
    EXPECT_EQ(list.Insert(-1), nullptr);
    EXPECT_EQ(list.Count(), 3);
    list.Insert(3)->SetATcmd("end");
    list.Insert(0)->SetATcmd("start");
    EXPECT_EQ(Commands(list), (QStringList{"start", "", "AT", "ATI", "end"}));
    EXPECT_EQ(list.Items(5), nullptr);
    EXPECT_EQ(list.Items(-1), nullptr);
    list.Delete(1);
    list.Delete(42);
    EXPECT_EQ(Commands(list), (QStringList{"start", "AT", "ATI", "end"}));
}

TEST(ATCommands, AssignmentCopiesCommandsButNotHandlers) {
    QObject owner;
    TATCommands source(&owner);
    int answered = 0;
    TATCommandItem* a = source.Add();
    a->SetATcmd("AT+CSQ");
    a->SetOnATCommandRx([&](QObject*, const QString&) { ++answered; });
    source.Add()->SetATcmd("AT+CGMI");

    QObject component;
    TATCommands own(&component);
    own.Add()->SetATcmd("old");
    TATCommands* ownBefore = &own;
    own.Assign(source);
    EXPECT_EQ(&own, ownBefore);
    EXPECT_EQ(own.GetOwner(), &component);
    EXPECT_EQ(Commands(own), (QStringList{"AT+CSQ", "AT+CGMI"}));
    EXPECT_FALSE(own.Items(0)->OnATCommandRx());
    EXPECT_TRUE(source.Items(0)->OnATCommandRx());
    EXPECT_NE(own.Items(0), source.Items(0));
    EXPECT_EQ(own.Items(0)->Collection(), &own);

    // Writing an item copies only the command into the existing entry.
    TATCommandItem* target = own.Items(1);
    EXPECT_TRUE(own.SetItems(1, *a));
    EXPECT_EQ(own.Items(1), target);
    EXPECT_EQ(target->ATcmd(), "AT+CSQ");
    EXPECT_FALSE(target->OnATCommandRx());
    EXPECT_FALSE(own.SetItems(2, *a));

    own.Assign(own); // self-assignment keeps the entries
    EXPECT_EQ(own.Count(), 2);
    TATCommands empty;
    own.Assign(empty);
    EXPECT_EQ(own.Count(), 0);
    EXPECT_EQ(answered, 0);
}

} // namespace
