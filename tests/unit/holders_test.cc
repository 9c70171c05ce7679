// Owner, the move-only pointer holder behind JsonPtr, MallocPtr, FilePtr
// (and the library's ArpListPtr): each pointer it takes is released exactly once, and
// never one it handed on.
#include <gtest/gtest.h>

#include <type_traits>
#include <utility>
#include <vector>

#include "holders.h"

namespace {

std::vector<int *> released;

struct Record {
	void operator()(int *p) const { released.push_back(p); }
};
using Held = tarvik::Owner<int, Record>;

class OwnerTest : public testing::Test {
protected:
	void SetUp() override { released.clear(); }
	int a_ = 1, b_ = 2;
};

TEST_F(OwnerTest, ReleasesOnceAtTheEndAndNothingWhenEmpty) {
	{
		Held empty;
		Held null(nullptr);
		EXPECT_FALSE(empty);
		EXPECT_TRUE(null == nullptr);
		Held one(&a_);
		EXPECT_TRUE(one);
		EXPECT_TRUE(one != nullptr);
		EXPECT_EQ(*one, 1);
	}
	EXPECT_EQ(released, std::vector<int *>{&a_});
}

TEST_F(OwnerTest, ResetReleasesWhatWasHeldAndKeepsTheNewOne) {
	{
		Held h(&a_);
		h.reset(&b_);
		EXPECT_EQ(released, std::vector<int *>{&a_});
		EXPECT_EQ(h.get(), &b_);
		h = nullptr;
		EXPECT_EQ(h.get(), nullptr);
	}
	EXPECT_EQ(released, (std::vector<int *>{&a_, &b_}));
}

TEST_F(OwnerTest, ReleaseHandsThePointerOn) {
	{
		Held h(&a_);
		EXPECT_EQ(h.release(), &a_);
		EXPECT_FALSE(h);
	}
	EXPECT_TRUE(released.empty());
}

TEST_F(OwnerTest, MovesTransferOwnershipAndReleaseTheTargetsOld) {
	{
		Held from(&a_);
		Held to(std::move(from));
		EXPECT_FALSE(from);
		EXPECT_EQ(to.get(), &a_);
		Held other(&b_);
		to = std::move(other);
		EXPECT_EQ(released, std::vector<int *>{&a_});
		Held &same = to;
		to = std::move(same); // moving into itself keeps the pointer
		EXPECT_EQ(to.get(), &b_);
	}
	EXPECT_EQ(released, (std::vector<int *>{&a_, &b_}));
	static_assert(!std::is_copy_constructible_v<Held> && !std::is_copy_assignable_v<Held>);
}

} // namespace
