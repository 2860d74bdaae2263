// Wizard pages are added to brantlow_gui here.
