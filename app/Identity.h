#pragma once
// The one place that tells Qt who the application is, and in which language
// its own words are.

// Sets the application's name, its organisation and domain (which place the
// settings file) and its desktop file name. Call right after the application
// object is created, before anything reads settings or standard locations.
void SetApplicationIdentity();

// Loads Qt's own Simplified Chinese words (the folder dialog's, a text
// field's menu), whatever the system's language: the interface is Chinese
// throughout. From the bundle's Resources/translations where there is one
// (macOS), else from Qt's translations folder. Call once the application
// object exists.
void LoadQtTranslations();
