// A world of three beacons on the unit 3-sphere: which one is nearest to a ship, and how many
// entities carry both a transform and a physics body.
#include <vesk/vesk_ecs.hpp>

#include <cmath>
#include <cstdio>
#include <string_view>

int main() {
  using namespace vesk;
  World world = World::init(mallocAllocator());  // released when `world` leaves the scope

  const HomVec4 places[] = {HomVec4::init(1, 0, 0, 1), HomVec4::init(0, 1, 0, 1),
                            HomVec4::init(0, 0, 1, 1)};
  const char* names[] = {"north", "east", "zenith"};
  for (int i = 0; i < 3; ++i) {
    const Result<EntityId> id = world.createEntity(names[i]);
    if (!id) {
      const std::string_view error = errorName(id.error());
      std::fprintf(stderr, "cannot create %s: %.*s\n", names[i], static_cast<int>(error.size()),
                   error.data());
      return 1;
    }
    world.getEntity(*id)->setPosition(places[i]);  // normalised onto the unit 3-sphere
  }

  const HomVec4 ship = HomVec4::init(0.2, 0.9, 0.1, 1);
  if (const std::optional<EntityId> nearest = world.findNearest(ship)) {
    const Entity& beacon = *world.getEntity(*nearest);
    const double radians = fsDistance(ship, beacon.position);
    const double metres = sFromW(std::cos(radians), R_KALDRA_KM * 1000);
    std::printf("nearest beacon: %.*s, %.4f rad, %.0f m\n", static_cast<int>(beacon.name.size()),
                beacon.name.data(), radians, metres);
  }

  ArchetypeRegistry registry = ArchetypeRegistry::init(mallocAllocator());
  const ComponentTypeId transform = ComponentTypeId::fromId(1),
                        physics = ComponentTypeId::fromId(2);
  const ComponentTypeId moving[] = {transform, physics}, fixed[] = {transform};
  const ArchetypeId a = registry.createArchetype(moving).value();
  (void)registry.createArchetype(fixed).value();
  for (int i = 0; i < 5; ++i)
    registry.getArchetype(a)->addEntity();

  const ComponentTypeId wanted[] = {physics};
  const QueryResult result = registry.query(mallocAllocator(), QueryFilter::init(wanted)).value();
  std::printf("archetypes with physics: %zu, entities: %u\n", result.matching_archetypes.size(),
              result.total_entities);
  return 0;
}
