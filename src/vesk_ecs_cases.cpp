// The registered cases of the entity-component layer, in its declaration order: entities,
// components, event buses and the world first, then archetypes, queries and the registry. Every
// owner a case creates is released by its destructor, so an expectation that fails or an error
// that ends the case early still returns all memory to the checking allocator.
#include <array>
#include <cstdint>

#include <vesk/vesk_ecs.hpp>
#include "vesk_cases.hpp"

namespace vesk {

namespace {

// The component types the archetype and query cases combine.
constexpr ComponentTypeId TRANSFORM = ComponentTypeId::fromId(1);
constexpr ComponentTypeId PHYSICS = ComponentTypeId::fromId(2);
constexpr ComponentTypeId RENDER = ComponentTypeId::fromId(3);

Result<void> entityCreationAndLifecycle() {
  Entity entity = Entity::init(1, "test_entity");
  VESK_TRY(expect(entity.state == EntityState::init));
  VESK_TRY(expect(!entity.isActive()));
  entity.activate();
  VESK_TRY(expect(entity.isActive()));
  VESK_TRY(expect(entity.state == EntityState::active));
  entity.deactivate();
  VESK_TRY(expect(entity.state == EntityState::deactivating));
  return {};
}

Result<void> entityPositionInVesk() {
  Entity entity = Entity::init(1, "point");
  entity.setPosition(HomVec4::init(3, 4, 0, 1));
  VESK_TRY(expectApproxEqAbs(entity.position.norm(), 1.0, 1e-10));
  return {};
}

Result<void> entityFsDistance() {
  Entity a = Entity::init(1, "a");
  a.setPosition(HomVec4::init(1, 0, 0, 0));
  Entity b = Entity::init(2, "b");
  b.setPosition(HomVec4::init(0, 1, 0, 0));
  VESK_TRY(expectApproxEqAbs(a.distanceTo(b), 1.5707963267948966, 1e-10));
  return {};
}

Result<void> entityIdValidity() {
  VESK_TRY(expect(EntityId::init(42).isValid()));
  VESK_TRY(expect(!EntityId::invalid().isValid()));
  return {};
}

Result<void> componentLifecycle() {
  Component component = Component::init(TRANSFORM, EntityId::init(1), "transform");
  VESK_TRY(expect(!component.isActive()));
  component.activate();
  VESK_TRY(expect(component.isActive()));
  component.deactivate();
  VESK_TRY(expect(!component.isActive()));
  return {};
}

Result<void> worldCreateAndFind() {
  World world = World::init(testingAllocator());
  const EntityId id = VESK_TRY(world.createEntity("player"));
  VESK_TRY(expect(id.isValid()));
  const OptionalRef<Entity> entity = world.getEntity(id);
  VESK_TRY(expect(entity.has_value()));
  VESK_TRY(expect(entity->isActive()));
  return {};
}

Result<void> worldFindNearest() {
  World world = World::init(testingAllocator());
  const EntityId near_id = VESK_TRY(world.createEntity("near"));
  const EntityId far_id = VESK_TRY(world.createEntity("far"));
  if (OptionalRef<Entity> near = world.getEntity(near_id)) {
    near->setPosition(HomVec4::init(1, 0, 0, 0));
  }
  if (OptionalRef<Entity> far = world.getEntity(far_id)) {
    far->setPosition(HomVec4::init(0, 1, 0, 0));
  }
  const std::optional<EntityId> nearest = world.findNearest(HomVec4::init(0.9, 0.1, 0, 0));
  VESK_TRY(expect(nearest.has_value()));
  VESK_TRY(expect(nearest.value_or(EntityId::invalid()) == near_id));
  return {};
}

Result<void> worldActiveCount() {
  World world = World::init(testingAllocator());
  VESK_TRY(world.createEntity("a"));
  VESK_TRY(world.createEntity("b"));
  VESK_TRY(world.createEntity("c"));
  VESK_TRY(expect(world.activeCount() == 3));
  return {};
}

Result<void> eventBusDispatch() {
  struct Handler {
    static void handle(PositionChangedEvent) {}
  };
  EventBus<PositionChangedEvent> bus = EventBus<PositionChangedEvent>::init();
  bus.setHandler(&Handler::handle);
  bus.dispatch(PositionChangedEvent{
      .entity_id = EntityId::init(1),
      .old_position = HomVec4::zero(),
      .new_position = HomVec4::zero(),
      .fs_distance_moved = 0.0,
  });
  return {};
}

Result<void> entityVersionTracking() {
  Entity entity = Entity::init(1, "tracked");
  const std::uint64_t before = entity.version;
  entity.setPosition(HomVec4::init(1, 0, 0, 0));
  VESK_TRY(expect(entity.version > before));
  return {};
}

Result<void> entityWorldTransformPgl4() {
  Entity entity = Entity::init(1, "transformed");
  entity.setWorldTransform(pglTranslate(1, 2, 3));
  VESK_TRY(expectApproxEqAbs(entity.world_transform.get(0, 3), 1.0, 1e-10));
  return {};
}

Result<void> archetypeCreation() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  const std::array types{TRANSFORM, PHYSICS};
  const ArchetypeId id = VESK_TRY(registry.createArchetype(types));
  VESK_TRY(expect(id.isValid()));
  VESK_TRY(expect(registry.count() == 1));
  return {};
}

Result<void> archetypeHasComponent() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  const std::array types{TRANSFORM, PHYSICS};
  const ArchetypeId id = VESK_TRY(registry.createArchetype(types));
  const OptionalRef<Archetype> archetype = registry.getArchetype(id);
  VESK_TRY(expect(archetype.has_value()));
  VESK_TRY(expect(archetype->hasComponent(TRANSFORM)));
  VESK_TRY(expect(archetype->hasComponent(PHYSICS)));
  VESK_TRY(expect(!archetype->hasComponent(ComponentTypeId::fromId(99))));
  return {};
}

Result<void> archetypeEntityCount() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  const std::array types{TRANSFORM};
  const ArchetypeId id = VESK_TRY(registry.createArchetype(types));
  Archetype& archetype = unwrap(registry.getArchetype(id));
  archetype.addEntity();
  archetype.addEntity();
  archetype.addEntity();
  VESK_TRY(expect(archetype.entity_count == 3));
  archetype.removeEntity();
  VESK_TRY(expect(archetype.entity_count == 2));
  return {};
}

Result<void> queryFilterMatches() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  VESK_TRY(registry.createArchetype(std::array{TRANSFORM, PHYSICS}));
  VESK_TRY(registry.createArchetype(std::array{TRANSFORM, RENDER}));
  VESK_TRY(registry.createArchetype(std::array{PHYSICS, RENDER}));
  const std::array required{TRANSFORM};
  // Declared after the registry, so it is released first.
  const QueryResult result =
      VESK_TRY(registry.query(testingAllocator(), QueryFilter::init(required)));
  VESK_TRY(expect(result.matching_archetypes.size() == 2));
  return {};
}

Result<void> queryFilterWithExclusions() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(testingAllocator());
  VESK_TRY(registry.createArchetype(std::array{TRANSFORM, PHYSICS}));
  VESK_TRY(registry.createArchetype(std::array{TRANSFORM, RENDER}));
  VESK_TRY(registry.createArchetype(std::array{TRANSFORM, PHYSICS, RENDER}));
  const std::array required{TRANSFORM};
  const std::array excluded{RENDER};
  // Declared after the registry, so it is released first.
  const QueryResult result = VESK_TRY(
      registry.query(testingAllocator(), QueryFilter::initWithExclusions(required, excluded)));
  VESK_TRY(expect(result.matching_archetypes.size() == 1));
  return {};
}

Result<void> archetypeIdValidity() {
  VESK_TRY(expect(ArchetypeId::init(5).isValid()));
  VESK_TRY(expect(!ArchetypeId::invalid().isValid()));
  return {};
}

constexpr TestCase ECS_CASES[] = {
    {"vesk_ecs.test.ECS: Entity creation and lifecycle", entityCreationAndLifecycle},
    {"vesk_ecs.test.ECS: Entity position in Vesk", entityPositionInVesk},
    {"vesk_ecs.test.ECS: Entity FS distance", entityFsDistance},
    {"vesk_ecs.test.ECS: EntityId validity", entityIdValidity},
    {"vesk_ecs.test.ECS: Component lifecycle", componentLifecycle},
    {"vesk_ecs.test.ECS: World create and find", worldCreateAndFind},
    {"vesk_ecs.test.ECS: World findNearest", worldFindNearest},
    {"vesk_ecs.test.ECS: World active count", worldActiveCount},
    {"vesk_ecs.test.ECS: EventBus dispatch", eventBusDispatch},
    {"vesk_ecs.test.ECS: Entity version tracking", entityVersionTracking},
    {"vesk_ecs.test.ECS: Entity world transform PGL4", entityWorldTransformPgl4},
    {"vesk_ecs.test.ECS: Archetype creation", archetypeCreation},
    {"vesk_ecs.test.ECS: Archetype has component", archetypeHasComponent},
    {"vesk_ecs.test.ECS: Archetype entity count", archetypeEntityCount},
    {"vesk_ecs.test.ECS: Query filter matches", queryFilterMatches},
    {"vesk_ecs.test.ECS: Query filter with exclusions", queryFilterWithExclusions},
    {"vesk_ecs.test.ECS: ArchetypeId validity", archetypeIdValidity},
};

}  // namespace

std::span<const TestCase> ecsCases() noexcept {
  return ECS_CASES;
}

}  // namespace vesk
