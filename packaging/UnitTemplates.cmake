# The systemd unit templates (tlKorvel.service.in, tlKorvel.timer.in) are the
# one source of both the package's units and those tlKorvel -install writes:
# this makes them string constants of a generated header, platform/SystemdUnitTemplates.h,
# for the target that fills them in at run time.
function(korvel_unit_templates target)
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/generated)
  foreach(unit service timer)
    set(template ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/tlKorvel.${unit}.in)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${template})
    file(READ ${template} ${unit}_template)
    if(${unit}_template MATCHES "\\)unit\"")
      message(FATAL_ERROR "${template} must not hold the text )unit\"")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${folder}/platform/SystemdUnitTemplates.h @ONLY CONTENT [[
#pragma once
// Generated from packaging/tlKorvel.service.in and packaging/tlKorvel.timer.in.
constexpr const char* ServiceUnitTemplate = R"unit(@service_template@)unit";
constexpr const char* TimerUnitTemplate = R"unit(@timer_template@)unit";
]])
  target_include_directories(${target} PRIVATE ${folder})
endfunction()
