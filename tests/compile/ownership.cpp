// Compiled, not run: owners move their memory but never copy it, and names are never borrowed
// from temporaries. Without VESK_REFUSED the allowed uses must build; each value of VESK_REFUSED
// is one use that must be refused, naming what refused it.
#include <string>
#include <utility>

#include <vesk/vesk_ecs.hpp>

namespace {

[[maybe_unused]] void uses(vesk::World& world, vesk::ArchetypeRegistry& registry,
                           vesk::ArchetypeId id) {
#if VESK_REFUSED == 1
  // A second owner of the entity array's block.
  auto copy = world.entities;
#elif VESK_REFUSED == 2
  // A second owner of the archetype's type array.
  vesk::Archetype copy = *registry.getArchetype(id);
#elif VESK_REFUSED == 3
  // The entity would keep a view of the string destroyed at the end of the statement.
  (void)world.createEntity(std::string("temporary"));
#elif VESK_REFUSED == 4
  (void)vesk::Entity::init(1, std::string("temporary"));
#else
  vesk::World moved = std::move(world);
  vesk::ArrayList<vesk::Entity> entities = std::move(moved.entities);
  vesk::Archetype archetype = std::move(*registry.getArchetype(id));
  const std::string name = "kept";
  (void)moved.createEntity(name);
  (void)moved.createEntity("literal");
  (void)vesk::Entity::init(1, name);
  (void)vesk::Component::init(vesk::ComponentTypeId::fromId(1), vesk::EntityId::init(1), name);
#endif
}

}  // namespace
