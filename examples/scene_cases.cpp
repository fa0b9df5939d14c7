// The example's own cases, registered with vesk's harness: run without arguments it prints one
// line per case and a summary, checking each case for leaks.
#include <vesk/vesk_ecs.hpp>
#include <vesk/vesk_harness.hpp>

#include <numbers>

namespace {

using namespace vesk;

Result<void> beaconsAreAQuarterTurnApart() {
  const HomVec4 north = HomVec4::init(1, 0, 0, 0), east = HomVec4::init(0, 1, 0, 0);
  VESK_TRY(expectApproxEqAbs(fsDistance(north, east), std::numbers::pi / 2, 1e-12));
  return {};
}

Result<void> nearestBeaconIsFound() {
  World world = World::init(testingAllocator());  // leak-checked; released on every way out
  const EntityId near = VESK_TRY(world.createEntity("near"));
  const EntityId far = VESK_TRY(world.createEntity("far"));
  world.getEntity(near)->setPosition(HomVec4::init(1, 0, 0, 0));
  world.getEntity(far)->setPosition(HomVec4::init(0, 1, 0, 0));
  const std::optional<EntityId> found = world.findNearest(HomVec4::init(0.9, 0.1, 0, 0));
  VESK_TRY(expect(found.has_value() && *found == near));
  return {};
}

Result<void> queriesSumTheirEntities() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  const ComponentTypeId both[] = {ComponentTypeId::fromId(1), ComponentTypeId::fromId(2)};
  const ArchetypeId id = VESK_TRY(registry.createArchetype(both));
  registry.getArchetype(id)->addEntity();
  registry.getArchetype(id)->addEntity();
  const QueryResult result =
      VESK_TRY(registry.query(testingAllocator(), QueryFilter::init(std::span(both, 1))));
  VESK_TRY(expect(result.total_entities == 2));
  return {};
}

constexpr TestCase CASES[] = {
    {"scene.test.beacons are a quarter turn apart", beaconsAreAQuarterTurnApart},
    {"scene.test.nearest beacon is found", nearestBeaconIsFound},
    {"scene.test.queries sum their entities", queriesSumTheirEntities},
};

}  // namespace

int main(int argc, char** argv) {
  return vesk::harnessMain(argc, argv, CASES);
}
