// The entity-component layer: lifecycle tables, the world's lookups and nearest-entity search
// (checked against a plain scan over many random worlds), archetype hashes and queries, and the
// out-of-memory paths driven allocation by allocation over the leak-checking allocator.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <vesk/vesk_ecs.hpp>
#include <vesk/vesk_harness.hpp>
#include "failing_allocator.hpp"
#include "plain_find_nearest.hpp"

namespace vesk {
namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

using testing::plainFindNearest;

bool sameBits(HomVec4 a, HomVec4 b) {
  // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison): the bits are the point (-0, NaNs)
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Every test gets a fresh checking allocator and must hand it back with nothing live.
class LeakChecked : public ::testing::Test {
 protected:
  void SetUp() override { checkingAllocatorInit(); }
  void TearDown() override { EXPECT_EQ(checkingAllocatorDeinit(), Check::ok); }
};

// ---------------------------------------------------------------------------------------------
// Entities and components

TEST(Entity, StartsInactiveAtTheOriginOfTheWChartWithNoParentAndVersionZero) {
  const Entity entity = Entity::init(7, "seven");
  EXPECT_EQ(entity.id, EntityId::init(7));
  EXPECT_EQ(entity.name, "seven");
  EXPECT_TRUE(sameBits(entity.position, HomVec4::init(0, 0, 0, 1)));
  EXPECT_EQ(entity.world_transform.data, PGL4::identity().data);
  EXPECT_FALSE(entity.parent_id.isValid());
  EXPECT_EQ(entity.version, 0u);
  EXPECT_EQ(entity.state, EntityState::init);
  EXPECT_FALSE(entity.isActive());
}

struct EntityStep {
  EntityState from;
  bool activate;  // otherwise deactivate
  EntityState to;
  std::uint64_t version_added;
};

TEST(Entity, FollowsItsLifecycleTableAndCountsOnlyTheStepsItTakes) {
  using S = EntityState;
  const std::array<EntityStep, 10> table{{
      {S::init, true, S::active, 1},
      {S::inactive, true, S::active, 1},
      {S::active, true, S::active, 0},
      {S::deactivating, true, S::deactivating, 0},
      {S::destroyed, true, S::destroyed, 0},
      {S::active, false, S::deactivating, 1},
      {S::init, false, S::init, 0},
      {S::deactivating, false, S::deactivating, 0},
      {S::inactive, false, S::inactive, 0},
      {S::destroyed, false, S::destroyed, 0},
  }};
  for (const EntityStep& step : table) {
    Entity entity = Entity::init(1, "e");
    entity.state = step.from;
    entity.version = 40;
    if (step.activate) {
      entity.activate();
    } else {
      entity.deactivate();
    }
    EXPECT_EQ(entity.state, step.to) << "from " << int(step.from) << " activate " << step.activate;
    EXPECT_EQ(entity.version, 40 + step.version_added)
        << "from " << int(step.from) << " activate " << step.activate;
    EXPECT_EQ(entity.isActive(), step.to == S::active);
  }
}

TEST(Entity, SetPositionNormalisesButKeepsTheOldPositionForDegenerateInputAndAlwaysCounts) {
  Entity entity = Entity::init(1, "e");
  entity.setPosition(HomVec4::init(3, 4, 0, 1));
  EXPECT_NEAR(entity.position.norm(), 1.0, 1e-15);
  EXPECT_TRUE(sameBits(entity.position, HomVec4::init(3, 4, 0, 1).normalize()));
  const HomVec4 kept = entity.position;
  entity.setPosition(HomVec4::zero());
  entity.setPosition(HomVec4::init(1e-16, 0, 0, 0));
  entity.setPosition(HomVec4::init(NOT_A_NUMBER, 0, 0, 1));
  // An infinite norm, from an infinite component or from squares that overflow.
  entity.setPosition(HomVec4::init(INF, 0, 0, 1));
  entity.setPosition(HomVec4::init(0, -INF, 0, 0));
  entity.setPosition(HomVec4::init(1e300, 0, 0, 1));
  EXPECT_TRUE(sameBits(entity.position, kept));
  EXPECT_EQ(entity.version, 7u);
  // A norm just above the threshold is divided, whatever the state of the entity.
  entity.state = EntityState::destroyed;
  entity.setPosition(HomVec4::init(0, 2e-15, 0, 0));
  EXPECT_TRUE(sameBits(entity.position, HomVec4::init(0, 1, 0, 0)));
  EXPECT_EQ(entity.version, 8u);
}

TEST(Entity, SetWorldTransformStoresTheMatrixUnchangedAndCounts) {
  Entity entity = Entity::init(1, "e");
  const PGL4 singular =
      PGL4::fromRowMajor({{{0, 0, 0, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}, {0, 0, 0, 4}}});
  entity.setWorldTransform(singular);
  EXPECT_EQ(entity.world_transform.data, singular.data);
  entity.setWorldTransform(pglTranslate(1, 2, 3));
  EXPECT_EQ(entity.world_transform.get(0, 3), 1.0);
  EXPECT_EQ(entity.version, 2u);
}

struct ComponentStep {
  ComponentState from;
  bool activate;
  ComponentState to;
};

TEST(Component, FollowsItsOwnLifecycleTableGoingStraightToInactive) {
  using S = ComponentState;
  const std::array<ComponentStep, 8> table{{
      {S::init, true, S::active},
      {S::inactive, true, S::active},
      {S::active, true, S::active},
      {S::destroyed, true, S::destroyed},
      {S::active, false, S::inactive},
      {S::init, false, S::init},
      {S::inactive, false, S::inactive},
      {S::destroyed, false, S::destroyed},
  }};
  for (const ComponentStep& step : table) {
    Component component = Component::init(ComponentTypeId::fromId(0), EntityId::init(3), "c");
    EXPECT_EQ(component.state, S::init);
    component.state = step.from;
    if (step.activate) {
      component.activate();
    } else {
      component.deactivate();
    }
    EXPECT_EQ(component.state, step.to)
        << "from " << int(step.from) << " activate " << step.activate;
    EXPECT_EQ(component.isActive(), step.to == S::active);
  }
}

// ---------------------------------------------------------------------------------------------
// Event buses

std::vector<PositionChangedEvent> first_handler_events;
std::vector<PositionChangedEvent> second_handler_events;

TEST(EventBus, DeliversEachEventOnceToTheLastInstalledHandlerOnly) {
  first_handler_events.clear();
  second_handler_events.clear();
  EventBus<PositionChangedEvent> bus = EventBus<PositionChangedEvent>::init();
  const PositionChangedEvent event{
      .entity_id = EntityId::init(9),
      .old_position = HomVec4::zero(),
      .new_position = HomVec4::init(1, 2, 3, 4),
      .fs_distance_moved = 0.0,
  };
  bus.dispatch(event);  // no handler yet: nothing happens
  bus.setHandler([](PositionChangedEvent e) { first_handler_events.push_back(e); });
  bus.setHandler([](PositionChangedEvent e) { second_handler_events.push_back(e); });
  bus.dispatch(event);
  EXPECT_TRUE(first_handler_events.empty());
  ASSERT_EQ(second_handler_events.size(), 1u);
  const PositionChangedEvent& got = second_handler_events[0];
  EXPECT_EQ(got.entity_id, event.entity_id);
  EXPECT_TRUE(sameBits(got.old_position, event.old_position));
  EXPECT_TRUE(sameBits(got.new_position, event.new_position));
  EXPECT_EQ(got.fs_distance_moved, 0.0);
}

// ---------------------------------------------------------------------------------------------
// World

using WorldTest = LeakChecked;

TEST_F(WorldTest, ANewWorldIsEmptyAndAllocatesNothing) {
  FailingAllocator counting(testingAllocator());
  World world = World::init(counting.allocator());
  EXPECT_EQ(world.activeCount(), 0u);
  EXPECT_FALSE(world.findNearest(HomVec4::init(1, 0, 0, 0)).has_value());
  EXPECT_FALSE(world.getEntity(EntityId::init(1)).has_value());
  EXPECT_EQ(world.next_id, 1u);
  EXPECT_EQ(world.position_bus.handler, nullptr);
  EXPECT_EQ(world.transform_bus.handler, nullptr);
  world.deinit();
  world.deinit();  // releasing twice is harmless
  EXPECT_EQ(counting.allocCalls(), 0u);
}

TEST_F(WorldTest, HandsOutIdentifiersInOrderAndStoresActiveEntitiesAtTheDefaultPosition) {
  World world = World::init(testingAllocator());
  for (std::uint64_t expected = 1; expected <= 20; ++expected) {
    const Result<EntityId> id = world.createEntity("e");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->id, expected);
  }
  EXPECT_EQ(world.activeCount(), 20u);
  for (std::uint64_t id = 1; id <= 20; ++id) {
    const OptionalRef<Entity> entity = world.getEntity(EntityId::init(id));
    ASSERT_TRUE(entity.has_value());
    EXPECT_EQ(entity->id.id, id);
    EXPECT_EQ(entity->state, EntityState::active);
    EXPECT_EQ(entity->version, 1u);
    EXPECT_TRUE(sameBits(entity->position, HomVec4::init(0, 0, 0, 1)));
  }
  EXPECT_FALSE(world.getEntity(EntityId::invalid()).has_value());
  EXPECT_FALSE(world.getEntity(EntityId::init(21)).has_value());
}

TEST_F(WorldTest, ChangesThroughGetEntityReachTheStoredEntity) {
  World world = World::init(testingAllocator());
  const EntityId a = *world.createEntity("a");
  const EntityId b = *world.createEntity("b");
  world.getEntity(b)->setPosition(HomVec4::init(0, 0, 2, 0));
  world.getEntity(a)->deactivate();
  EXPECT_TRUE(sameBits(world.entities[1].position, HomVec4::init(0, 0, 1, 0)));
  // A deactivated entity is still found, but neither counted nor chosen as nearest.
  ASSERT_TRUE(world.getEntity(a).has_value());
  EXPECT_EQ(world.getEntity(a)->state, EntityState::deactivating);
  EXPECT_EQ(world.activeCount(), 1u);
  EXPECT_EQ(world.findNearest(HomVec4::init(0, 0, 0, 1)), b);
  const World& view = world;
  EXPECT_EQ(view.getEntity(b)->name, "b");
}

TEST_F(WorldTest, FindNearestPrefersTheEntityStoredFirstAmongEqualDistances) {
  World world = World::init(testingAllocator());
  std::array<EntityId, 4> ids{};
  for (EntityId& id : ids)
    id = *world.createEntity("twin");
  world.getEntity(ids[0])->setPosition(HomVec4::init(0, 1, 0, 0));
  world.getEntity(ids[1])->setPosition(HomVec4::init(1, 1, 0, 0));
  world.getEntity(ids[2])->setPosition(HomVec4::init(-1, -1, 0, 0));  // the same point as ids[1]
  world.getEntity(ids[3])->setPosition(HomVec4::init(1, 1, 0, 0));
  EXPECT_EQ(world.findNearest(HomVec4::init(1, 0.9, 0, 0)), ids[1]);
  world.getEntity(ids[1])->deactivate();
  EXPECT_EQ(world.findNearest(HomVec4::init(1, 0.9, 0, 0)), ids[2]);
}

TEST_F(WorldTest, FindNearestComparesDistancesNotCosines) {
  // Both cosines are tiny and different, but their arc cosines round to the same double: the
  // first entity must win even though the second one's cosine is larger.
  World world = World::init(testingAllocator());
  const EntityId first = *world.createEntity("first");
  const EntityId second = *world.createEntity("second");
  world.getEntity(first)->position = HomVec4::init(1e-17, 1, 0, 0);
  world.getEntity(second)->position = HomVec4::init(3e-17, 1, 0, 0);
  const HomVec4 query = HomVec4::init(1, 0, 0, 0);
  ASSERT_EQ(fsDistance(query, world.getEntity(first)->position),
            fsDistance(query, world.getEntity(second)->position));
  EXPECT_EQ(world.findNearest(query), first);
}

TEST_F(WorldTest, FindNearestTreatsNanPositionsAndZeroVectorsAsDistanceZero) {
  World world = World::init(testingAllocator());
  const EntityId far = *world.createEntity("far");
  const EntityId broken = *world.createEntity("broken");
  const EntityId exact = *world.createEntity("exact");
  world.getEntity(far)->setPosition(HomVec4::init(0, 1, 0, 0));
  world.getEntity(exact)->setPosition(HomVec4::init(1, 0, 0, 0));
  world.getEntity(broken)->position = HomVec4::init(NOT_A_NUMBER, 0, 0, 1);
  // The NaN cosine counts as 1, so the broken entity beats even an exact hit stored after it.
  EXPECT_EQ(world.findNearest(HomVec4::init(1, 0, 0, 0)), broken);
  world.getEntity(broken)->position = HomVec4::zero();
  EXPECT_EQ(world.findNearest(HomVec4::init(1, 0, 0, 0)), broken);
  // A zero or NaN query is at distance 0 from everything: the first active entity wins.
  EXPECT_EQ(world.findNearest(HomVec4::zero()), far);
  EXPECT_EQ(world.findNearest(HomVec4::init(0, 0, NOT_A_NUMBER, 0)), far);
  world.getEntity(far)->deactivate();
  EXPECT_EQ(world.findNearest(HomVec4::init(1e-16, 0, 0, 0)), broken);
}

TEST_F(WorldTest, MovingAWorldTransfersItsEntitiesAndReleasesEachBlockOnce) {
  World world = World::init(testingAllocator());
  ASSERT_TRUE(world.createEntity("kept").has_value());
  World moved = std::move(world);
  // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is what is checked
  EXPECT_EQ(world.entities.size(), 0u);  // the moved-from world is empty but usable
  EXPECT_EQ(moved.activeCount(), 1u);
  World other = World::init(testingAllocator());
  ASSERT_TRUE(other.createEntity("dropped").has_value());
  other = std::move(moved);
  EXPECT_EQ(other.getEntity(EntityId::init(1))->name, "kept");
  EXPECT_EQ(other.next_id, 2u);
}

// Fills a world with entities whose positions mix every kind the search must get right: random
// points, exact and antipodal copies, copies a few units in the last place away, unnormalised,
// huge and tiny vectors, zero vectors, NaN and infinite components; some are deactivated.
void fillRandomWorld(World& world, std::mt19937_64& rng, std::size_t count) {
  std::uniform_real_distribution<double> coordinate(-1.0, 1.0);
  std::uniform_int_distribution<int> kind(0, 99);
  const auto random_point = [&] {
    return HomVec4::init(coordinate(rng), coordinate(rng), coordinate(rng), coordinate(rng));
  };
  const auto nudge = [&](double v) {
    const int steps = kind(rng) % 4;
    for (int i = 0; i < steps; ++i)
      v = std::nextafter(v, kind(rng) < 50 ? -INF : INF);
    return v;
  };
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(world.createEntity("random").has_value());
    const std::size_t stored = world.entities.size() - 1;
    Entity& entity = world.entities[stored];
    const HomVec4 earlier =
        stored == 0 ? random_point()
                    : world.entities[std::uniform_int_distribution<std::size_t>(0, stored - 1)(rng)]
                          .position;
    const int k = kind(rng);
    if (k < 40) {
      entity.setPosition(random_point());
    } else if (k < 55) {
      entity.position = earlier;
    } else if (k < 62) {
      entity.position = HomVec4::init(-earlier.x, -earlier.y, -earlier.z, -earlier.w);
    } else if (k < 80) {
      entity.position =
          HomVec4::init(nudge(earlier.x), nudge(earlier.y), nudge(earlier.z), nudge(earlier.w));
    } else if (k < 85) {
      const HomVec4 p = random_point();
      const double scale = kind(rng) < 50 ? 1e150 : 1e-150;
      entity.position = HomVec4::init(p.x * scale, p.y * scale, p.z * scale, p.w * scale);
    } else if (k < 88) {
      entity.position = HomVec4::zero();
    } else if (k < 90) {
      entity.position = HomVec4::init(1e-16, 0, 0, 0);
    } else if (k < 92) {
      entity.position = HomVec4::init(coordinate(rng), NOT_A_NUMBER, 0, 1);
    } else if (k < 94) {
      entity.position = HomVec4::init(INF, coordinate(rng), 0, 1);
    } else {
      entity.setPosition(random_point());
      entity.deactivate();
    }
  }
}

TEST_F(WorldTest, FindNearestAgreesWithThePlainScanOnManyRandomWorlds) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int> kind(0, 99);
  std::uniform_real_distribution<double> coordinate(-1.0, 1.0);
  for (int round = 0; round < 400; ++round) {
    World world = World::init(testingAllocator());
    // Small worlds, where degenerate entities are often the answer, and larger ones.
    const std::size_t count =
        round % 4 == 0 ? 2000 : std::uniform_int_distribution<std::size_t>(0, 60)(rng);
    fillRandomWorld(world, rng, count);
    for (int q = 0; q < 12; ++q) {
      HomVec4 query =
          HomVec4::init(coordinate(rng), coordinate(rng), coordinate(rng), coordinate(rng));
      const int k = kind(rng);
      if (k < 30 && !world.entities.empty()) {
        const HomVec4 p = world
                              .entities[std::uniform_int_distribution<std::size_t>(
                                  0, world.entities.size() - 1)(rng)]
                              .position;
        query = HomVec4::init(std::nextafter(p.x, INF), p.y, p.z, p.w);
      } else if (k < 35) {
        query = HomVec4::zero();
      } else if (k < 38) {
        query = HomVec4::init(NOT_A_NUMBER, 0, 0, 0);
      } else if (k < 45) {
        query = HomVec4::init(query.x * 1e-120, query.y * 1e-120, query.z * 1e-120, 0);
      } else if (k < 50) {
        query = HomVec4::init(query.x * 1e120, query.y, query.z, query.w);
      }
      ASSERT_EQ(world.findNearest(query), plainFindNearest(world, query))
          << "round " << round << " query " << q;
    }
  }
}

TEST_F(WorldTest, FindNearestAgreesWithThePlainScanWhenEveryEntityIsNearlyTheAnswer) {
  // A tight cluster around the query: the cosines differ by a few units in the last place, many
  // distances tie, and every entity is within rounding of the best, so the search has to fall
  // back to the exact distance everywhere.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> jitter(-1e-7, 1e-7);
  World world = World::init(testingAllocator());
  const HomVec4 centre = HomVec4::init(0.5, -0.5, 0.5, 0.5);
  for (int i = 0; i < 5000; ++i) {
    Entity& entity = *world.getEntity(*world.createEntity("cluster"));
    entity.position = HomVec4::init(centre.x + jitter(rng), centre.y + jitter(rng),
                                    centre.z + jitter(rng), centre.w + jitter(rng));
  }
  for (int q = 0; q < 50; ++q) {
    const HomVec4 query = HomVec4::init(centre.x + jitter(rng), centre.y, centre.z, centre.w);
    ASSERT_EQ(world.findNearest(query), plainFindNearest(world, query)) << "query " << q;
  }
}

// ---------------------------------------------------------------------------------------------
// Archetypes, registry and queries

using ArchetypeTest = LeakChecked;

std::uint64_t hashOf(std::initializer_list<std::uint64_t> types) {
  Archetype archetype = Archetype::init(testingAllocator(), ArchetypeId::init(1));
  for (std::uint64_t type : types) {
    EXPECT_TRUE(archetype.addComponentType(ComponentTypeId::fromId(type)).has_value());
  }
  const std::uint64_t hash = archetype.component_hash;
  archetype.deinit();
  return hash;
}

TEST_F(ArchetypeTest, HashesTheTypeSequenceInOrderWithRepetitions) {
  EXPECT_EQ(hashOf({}), 0u);
  EXPECT_EQ(hashOf({1}), 1u);
  EXPECT_EQ(hashOf({1, 2}), 1099511628209u);
  EXPECT_EQ(hashOf({2, 1}), 2199023256423u);
  EXPECT_EQ(hashOf({1, 1}), 1099511628210u);
  // (1, 0, 0) folds to the prime squared, which needs 81 bits: with the prime 2^40 + 435, the
  // square modulo 2^64 is 2 * 435 * 2^40 + 435^2 (the 2^80 term wraps away).
  EXPECT_EQ(hashOf({1, 0, 0}), (std::uint64_t{870} << 40) + std::uint64_t{435} * 435);
}

TEST_F(ArchetypeTest, CountsEntitiesWithoutGoingBelowZeroOrLookingAtCapacity) {
  Archetype archetype = Archetype::init(testingAllocator(), ArchetypeId::init(4));
  EXPECT_EQ(archetype.capacity, 0u);
  archetype.removeEntity();
  EXPECT_EQ(archetype.entity_count, 0u);
  archetype.addEntity();
  archetype.addEntity();
  archetype.removeEntity();
  EXPECT_EQ(archetype.entity_count, 1u);
  EXPECT_EQ(archetype.capacity, 0u);
  archetype.deinit();
}

TEST(ArchetypeDeathTest, StopsWhenTheEntityCountWouldOverflow) {
  Archetype archetype = Archetype::init(mallocAllocator(), ArchetypeId::init(1));
  archetype.entity_count = std::numeric_limits<std::uint32_t>::max();
  EXPECT_DEATH(archetype.addEntity(), "integer overflow");
}

TEST_F(ArchetypeTest, RegistryHandsOutIdentifiersInOrderAndKeepsEveryTypeSequence) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  EXPECT_EQ(registry.count(), 0u);
  const std::array<ComponentTypeId, 2> one_two{ComponentTypeId::fromId(1),
                                               ComponentTypeId::fromId(2)};
  const std::array<ComponentTypeId, 2> two_one{ComponentTypeId::fromId(2),
                                               ComponentTypeId::fromId(1)};
  const std::array<ComponentTypeId, 2> one_one{ComponentTypeId::fromId(1),
                                               ComponentTypeId::fromId(1)};
  EXPECT_EQ(*registry.createArchetype(one_two), ArchetypeId::init(1));
  EXPECT_EQ(registry.count(), 1u);
  EXPECT_EQ(*registry.createArchetype(two_one), ArchetypeId::init(2));
  EXPECT_EQ(*registry.createArchetype({}), ArchetypeId::init(3));
  EXPECT_EQ(*registry.createArchetype(one_one), ArchetypeId::init(4));
  EXPECT_EQ(registry.count(), 4u);

  EXPECT_EQ(registry.getArchetype(ArchetypeId::init(1))->component_hash, 1099511628209u);
  EXPECT_EQ(registry.getArchetype(ArchetypeId::init(2))->component_hash, 2199023256423u);
  const Archetype& empty = *registry.getArchetype(ArchetypeId::init(3));
  EXPECT_EQ(empty.component_hash, 0u);
  EXPECT_FALSE(empty.hasComponent(ComponentTypeId::fromId(0)));
  const Archetype& twice = *registry.getArchetype(ArchetypeId::init(4));
  EXPECT_EQ(twice.component_types.size(), 2u);
  EXPECT_TRUE(twice.hasComponent(ComponentTypeId::fromId(1)));
  EXPECT_FALSE(twice.hasComponent(ComponentTypeId::fromId(2)));
  EXPECT_FALSE(registry.getArchetype(ArchetypeId::invalid()).has_value());
  EXPECT_FALSE(registry.getArchetype(ArchetypeId::init(5)).has_value());

  // The reference designates the stored archetype.
  registry.getArchetype(ArchetypeId::init(2))->addEntity();
  EXPECT_EQ(registry.archetypes[1].entity_count, 1u);
}

// A registry over types 1..3 with archetypes (1, 2), (1, 3), (2, 3), (1, 2, 3) and () holding
// 3, 2, 4, 1 and 6 entities.
ArchetypeRegistry sampleRegistry(Allocator allocator) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(allocator);
  const std::array<std::vector<std::uint64_t>, 5> shapes{{{1, 2}, {1, 3}, {2, 3}, {1, 2, 3}, {}}};
  const std::array<std::uint32_t, 5> counts{3, 2, 4, 1, 6};
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    std::vector<ComponentTypeId> types;
    for (std::uint64_t t : shapes[i])
      types.push_back(ComponentTypeId::fromId(t));
    const ArchetypeId id = *registry.createArchetype(types);
    for (std::uint32_t n = 0; n < counts[i]; ++n)
      registry.getArchetype(id)->addEntity();
  }
  return registry;
}

std::vector<std::uint32_t> idsOf(const QueryResult& result) {
  std::vector<std::uint32_t> ids;
  for (ArchetypeId id : result.matching_archetypes)
    ids.push_back(id.id);
  return ids;
}

TEST_F(ArchetypeTest, QueriesSelectByRequiredAndExcludedTypesOnlyInCreationOrder) {
  const ArchetypeRegistry registry = sampleRegistry(testingAllocator());
  const auto t = [](std::uint64_t id) { return ComponentTypeId::fromId(id); };
  const std::array one{t(1)};
  const std::array three{t(3)};
  const std::array one_two{t(1), t(2)};

  const QueryResult all = *registry.query(testingAllocator(), QueryFilter::init({}));
  EXPECT_EQ(idsOf(all), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(all.total_entities, 16u);

  const QueryResult with_one = *registry.query(testingAllocator(), QueryFilter::init(one));
  EXPECT_EQ(idsOf(with_one), (std::vector<std::uint32_t>{1, 2, 4}));
  EXPECT_EQ(with_one.total_entities, 6u);

  const QueryResult one_not_three =
      *registry.query(testingAllocator(), QueryFilter::initWithExclusions(one, three));
  EXPECT_EQ(idsOf(one_not_three), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(one_not_three.total_entities, 3u);

  const QueryResult both =
      *registry.query(testingAllocator(), QueryFilter::initWithExclusions(one_two, three));
  EXPECT_EQ(idsOf(both), (std::vector<std::uint32_t>{1}));

  const QueryResult contradictory =
      *registry.query(testingAllocator(), QueryFilter::initWithExclusions(one, one));
  EXPECT_TRUE(contradictory.matching_archetypes.empty());
  EXPECT_EQ(contradictory.total_entities, 0u);

  const QueryResult without_three =
      *registry.query(testingAllocator(), QueryFilter::initWithExclusions({}, three));
  EXPECT_EQ(idsOf(without_three), (std::vector<std::uint32_t>{1, 5}));
  EXPECT_EQ(without_three.total_entities, 9u);

  // Optional types play no part, even ones no archetype has.
  const std::array unknown{t(77), t(2)};
  QueryFilter with_optional = QueryFilter::init(three);
  EXPECT_TRUE(with_optional.optional.empty());
  with_optional.optional = unknown;
  const QueryResult optional_ignored = *registry.query(testingAllocator(), with_optional);
  EXPECT_EQ(idsOf(optional_ignored), (std::vector<std::uint32_t>{2, 3, 4}));
  EXPECT_EQ(optional_ignored.total_entities, 7u);
}

TEST_F(ArchetypeTest, AQueryThatMatchesNothingAllocatesNothingAndOutlivesLaterArchetypes) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  FailingAllocator counting(testingAllocator());
  const std::array two{ComponentTypeId::fromId(2)};
  QueryResult empty = *registry.query(counting.allocator(), QueryFilter::init(two));
  EXPECT_TRUE(empty.matching_archetypes.empty());
  EXPECT_EQ(empty.total_entities, 0u);
  EXPECT_EQ(counting.allocCalls(), 0u);

  ASSERT_TRUE(registry.createArchetype(two).has_value());
  QueryResult found = *registry.query(counting.allocator(), QueryFilter::init(two));
  for (int i = 0; i < 30; ++i)
    ASSERT_TRUE(registry.createArchetype({}).has_value());
  EXPECT_EQ(idsOf(found), (std::vector<std::uint32_t>{1}));
  found.deinit();
  found.deinit();
  empty = std::move(found);
  EXPECT_EQ(counting.liveAllocations(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Out of memory: every allocation of a scenario is refused in turn, once with growth in place
// allowed and once with it refused; each failure must come back as "OutOfMemory", leave the
// owner exactly as it was and leak nothing.

using OutOfMemoryTest = LeakChecked;

constexpr std::array<bool, 2> GROWTH_IN_PLACE_REFUSED{false, true};

// Runs `scenario(failing, fail_at)` against an allocator that refuses its `fail_at`-th allocation
// (and every later one unless `fail_once`), for fail_at = 0, 1, ... until a run has nothing
// refused; all of it once with growth in place allowed and once with it refused.
template <typename Scenario>
void refuseEachAllocationInTurn(bool fail_once, Scenario scenario) {
  for (const bool refuse_growth : GROWTH_IN_PLACE_REFUSED) {
    SCOPED_TRACE(refuse_growth ? "growth in place refused" : "growth in place allowed");
    for (std::size_t fail_at = 0;; ++fail_at) {
      SCOPED_TRACE("refusing allocation " + std::to_string(fail_at));
      FailingAllocator failing(
          testingAllocator(),
          {.fail_index = fail_at, .fail_once = fail_once, .refuse_growth_in_place = refuse_growth});
      scenario(failing, fail_at);
      if (::testing::Test::HasFatalFailure()) return;
      if (failing.failedAllocs() == 0) break;
    }
  }
}

TEST_F(OutOfMemoryTest, CreateEntityLeavesTheWorldAsItWasAndSpendsTheIdentifier) {
  refuseEachAllocationInTurn(true, [](FailingAllocator& failing, std::size_t fail_at) {
    World world = World::init(failing.allocator());
    std::size_t failures = 0;
    std::uint64_t expected_id = 1;
    for (int i = 0; i < 40; ++i) {
      const std::vector<Entity> before(world.entities.begin(), world.entities.end());
      ErrorTrace trace;
      ErrorTrace* const previous = setActiveErrorTrace(&trace);
      const Result<EntityId> id = world.createEntity("e");
      setActiveErrorTrace(previous);
      if (id.has_value()) {
        EXPECT_EQ(id->id, expected_id);
        EXPECT_EQ(trace.index, 0u);
      } else {
        ++failures;
        EXPECT_EQ(id.error(), Error::OutOfMemory);
        // The allocator, the array and the world each record their error return.
        EXPECT_GE(trace.index, 3u);
        ASSERT_EQ(world.entities.size(), before.size());
        if (!before.empty()) {
          EXPECT_EQ(
              std::memcmp(world.entities.begin(), before.data(), before.size() * sizeof(Entity)),
              0);
        }
      }
      ++expected_id;
      EXPECT_EQ(world.next_id, expected_id);
    }
    EXPECT_EQ(failures, failing.failedAllocs());
    EXPECT_EQ(world.activeCount(), 40 - failures);
    world.deinit();
    EXPECT_EQ(failing.liveAllocations(), 0u);
    if (failures == 0) {
      EXPECT_GT(fail_at, 2u);  // the scenario grew the array several times
    }
  });
}

struct ArchetypeSnapshot {
  std::uint32_t id;
  std::uint64_t hash;
  std::uint32_t entity_count;
  std::vector<std::uint64_t> types;
  bool operator==(const ArchetypeSnapshot&) const = default;
};

std::vector<ArchetypeSnapshot> snapshot(const ArchetypeRegistry& registry) {
  std::vector<ArchetypeSnapshot> shots;
  for (const Archetype& archetype : registry.archetypes) {
    ArchetypeSnapshot shot{archetype.id.id, archetype.component_hash, archetype.entity_count, {}};
    for (ComponentTypeId type : archetype.component_types)
      shot.types.push_back(type.id);
    shots.push_back(shot);
  }
  return shots;
}

TEST_F(OutOfMemoryTest, CreateArchetypeKeepsTheRegistryAndReleasesTheHalfBuiltArchetype) {
  // Type sequences of 0 to 20 types, so that the type arrays grow more than once too.
  std::vector<ComponentTypeId> types;
  types.reserve(20);
  for (std::uint64_t t = 0; t < 20; ++t)
    types.push_back(ComponentTypeId::fromId(t * 7));
  refuseEachAllocationInTurn(true, [&types](FailingAllocator& failing, std::size_t) {
    ArchetypeRegistry registry = ArchetypeRegistry::init(failing.allocator());
    std::size_t failures = 0;
    for (std::uint32_t i = 0; i < 21; ++i) {
      const std::vector<ArchetypeSnapshot> before = snapshot(registry);
      const std::size_t live_before = failing.liveAllocations();
      const Result<ArchetypeId> id =
          registry.createArchetype(std::span<const ComponentTypeId>(types).first(i));
      if (id.has_value()) {
        EXPECT_EQ(id->id, i + 1);
      } else {
        ++failures;
        EXPECT_EQ(id.error(), Error::OutOfMemory);
        EXPECT_EQ(snapshot(registry), before);
        EXPECT_EQ(failing.liveAllocations(), live_before);
      }
      EXPECT_EQ(registry.next_id, i + 2);
    }
    EXPECT_EQ(registry.count(), 21 - failures);
    EXPECT_EQ(failures, failing.failedAllocs());
    registry.deinit();
    EXPECT_EQ(failing.liveAllocations(), 0u);
  });
}

TEST_F(OutOfMemoryTest, AddComponentTypeLeavesTypesAndHashAsTheyWere) {
  FailingAllocator failing(testingAllocator(), {.fail_index = 1, .refuse_growth_in_place = true});
  Archetype archetype = Archetype::init(failing.allocator(), ArchetypeId::init(1));
  std::uint64_t type = 1;
  while (archetype.addComponentType(ComponentTypeId::fromId(type)).has_value())
    ++type;
  EXPECT_EQ(archetype.component_types.size(), type - 1);
  Archetype reference = Archetype::init(testingAllocator(), ArchetypeId::init(1));
  for (std::uint64_t t = 1; t < type; ++t) {
    ASSERT_TRUE(reference.addComponentType(ComponentTypeId::fromId(t)).has_value());
  }
  EXPECT_EQ(archetype.component_hash, reference.component_hash);
  EXPECT_FALSE(archetype.hasComponent(ComponentTypeId::fromId(type)));
  reference.deinit();
  archetype.deinit();
  EXPECT_EQ(failing.liveAllocations(), 0u);
}

TEST_F(OutOfMemoryTest, QueryReturnsTheErrorAndReleasesThePartlyFilledResult) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  for (int i = 0; i < 30; ++i) {
    const std::array types{ComponentTypeId::fromId(static_cast<std::uint64_t>(i % 3))};
    ASSERT_TRUE(registry.createArchetype(types).has_value());
  }
  const std::vector<ArchetypeSnapshot> before = snapshot(registry);
  const std::array required{ComponentTypeId::fromId(1)};
  refuseEachAllocationInTurn(false, [&](FailingAllocator& failing, std::size_t fail_at) {
    Result<QueryResult> result = registry.query(failing.allocator(), QueryFilter::init(required));
    EXPECT_EQ(snapshot(registry), before);
    // Refusing any allocation fails the query; once nothing is refused, it succeeds.
    EXPECT_EQ(result.has_value(), failing.failedAllocs() == 0);
    if (result.has_value()) {
      EXPECT_EQ(result->matching_archetypes.size(), 10u);
      EXPECT_GE(fail_at, 1u);
      result->deinit();
    } else {
      EXPECT_EQ(result.error(), Error::OutOfMemory);
    }
    EXPECT_EQ(failing.liveAllocations(), 0u);
  });
}

}  // namespace
}  // namespace vesk
