#include "metadata_types/catalogue_tables.hpp"

#include <array>

namespace ambrel::metadata_types::detail {

namespace {

using enum MetadataCategory;

constexpr std::array<std::string_view, 2> kObjectExcludedSuffixes{"__mdt", "__e"};

constexpr std::array<AttributeSpec, 8> kCustomFieldAttributes{{
    {"type", "Type", false},
    {"formula", "Formula", false},
    {"defaultValue", "Default Value", false},
    {"referenceTo", "Reference To", false},
    {"length", "Length", true},
    {"precision", "Precision", true},
    {"scale", "Scale", true},
    {"label", "Label", false},
}};

constexpr std::array<AttributeSpec, 20> kCustomObjectAttributes{{
    {"label", "Label", false},
    {"pluralLabel", "Plural Label", false},
    {"description", "Description", false},
    {"sharingModel", "Sharing Model", false},
    {"deploymentStatus", "Deployment Status", false},
    {"enableHistory", "Enable History", false},
    {"enableActivities", "Enable Activities", false},
    {"enableReports", "Enable Reports", false},
    {"enableFeeds", "Enable Feeds", false},
    {"enableSearch", "Enable Search", false},
    {"enableBulkApi", "Enable Bulk API", false},
    {"enableSharing", "Enable Sharing", false},
    {"enableStreamingApi", "Enable Streaming API", false},
    {"enableLicensing", "Enable Licensing", false},
    {"allowInChatterGroups", "Allow In Chatter Groups", false},
    {"recordTypeTrackFeedHistory", "Record Type Track Feed History", false},
    {"recordTypeTrackHistory", "Record Type Track History", false},
    {"startsWith", "Starts With", false},
    {"visibility", "Visibility", false},
    {"customSettingsType", "Custom Settings Type", false},
}};

constexpr std::array<AttributeSpec, 4> kCustomMetadataTypeAttributes{{
    {"label", "Label", false},
    {"pluralLabel", "Plural Label", false},
    {"description", "Description", false},
    {"visibility", "Visibility", false},
}};

constexpr std::array<AttributeSpec, 6> kPlatformEventAttributes{{
    {"label", "Label", false},
    {"pluralLabel", "Plural Label", false},
    {"description", "Description", false},
    {"deploymentStatus", "Deployment Status", false},
    {"eventType", "Event Type", false},
    {"publishBehavior", "Publish Behavior", false},
}};

constexpr std::array<AttributeSpec, 2> kApexCodeAttributes{{
    {"apiVersion", "API Version", false},
    {"status", "Status", false},
}};

constexpr std::array<AttributeSpec, 2> kApexPageAttributes{{
    {"apiVersion", "API Version", false},
    {"label", "Label", false},
}};

constexpr std::array<AttributeSpec, 4> kFlowAttributes{{
    {"label", "Label", false},
    {"status", "Status", false},
    {"apiVersion", "API Version", false},
    {"processType", "Process Type", false},
}};

constexpr ContentFormat decomposed(PathTemplate path_template, std::string_view root) {
    return ContentFormat{ContentFormat::DecomposedXml{path_template, root}};
}

constexpr ContentFormat source_file(std::string_view directory, std::string_view suffix, std::string_view root) {
    return ContentFormat{ContentFormat::SourceFile{directory, suffix, root}};
}

constexpr ContentFormat bundle(std::string_view directory) {
    return ContentFormat{ContentFormat::Bundle{directory}};
}

constexpr ListingStrategy metadata_api(std::string_view type_name) {
    return ListingStrategy{ListingStrategy::MetadataApi{type_name}};
}

constexpr ListingStrategy kObjects{ListingStrategy::Objects{}};

// Flags of a fixed row in the order: selectable, deploys through the Metadata API, opens the test
// screen, Apex code, compares the document.
struct Flags {
    bool selectable = true;
    bool deploys_through_metadata_api = true;
    bool opens_test_screen = false;
    bool apex_code = false;
    bool compares_document = false;
};

constexpr TypeDescriptor fixed_row(NameFilter filter, ContentFormat format, ListingStrategy listing,
                                   std::string_view api_name, std::span<const AttributeSpec> attributes,
                                   std::string_view plural, std::string_view singular, Flags flags,
                                   ContainerScope scope, MetadataCategory category) {
    const auto* api = std::get_if<ListingStrategy::MetadataApi>(&listing.value);
    return TypeDescriptor{
        .name_filter = filter,
        .content_format = format,
        .listing_strategy = listing,
        .listing_type_name = api != nullptr ? std::optional<std::string_view>(api->type_name) : std::nullopt,
        .api_name = api_name,
        .attributes = attributes,
        .plural_label = plural,
        .singular_label = singular,
        .parent_type = std::nullopt,
        .group_label = std::nullopt,
        .selectable = flags.selectable,
        .deploys_through_metadata_api = flags.deploys_through_metadata_api,
        .opens_test_screen = flags.opens_test_screen,
        .apex_code = flags.apex_code,
        .compares_document = flags.compares_document,
        .container_scope = scope,
        .category = category,
    };
}

constexpr TypeDescriptor with_parent_and_group(TypeDescriptor row, std::string_view parent, std::string_view group) {
    row.parent_type = parent;
    row.group_label = group;
    return row;
}

constexpr NameFilter kNoFilter{NameFilter::None{}};

constexpr std::array<TypeDescriptor, 13> kFixedDescriptors{{
    with_parent_and_group(
        fixed_row(kNoFilter, decomposed({PathTemplate::CustomField{}}, "CustomField"), kObjects, "CustomField",
                  kCustomFieldAttributes, "Custom Fields", "Custom Field", {.compares_document = true},
                  ContainerScope::ObjectPart, Core),
        "CustomObject", "Objects & Custom Fields"),
    fixed_row({NameFilter::ExcludedSuffixes{kObjectExcludedSuffixes}},
              decomposed({PathTemplate::ObjectDefinition{}}, "CustomObject"), kObjects, "CustomObject",
              kCustomObjectAttributes, "Custom Objects", "Custom Object",
              {.selectable = false, .compares_document = true},
              ContainerScope::WholeName, Core),
    fixed_row({NameFilter::RequiredSuffix{"__mdt"}}, decomposed({PathTemplate::ObjectDefinition{}}, "CustomObject"),
              kObjects, "CustomObject", kCustomMetadataTypeAttributes, "Custom Metadata Types",
              "Custom Metadata Type", {.compares_document = true}, ContainerScope::WholeName, Core),
    fixed_row({NameFilter::RequiredSuffix{"__e"}}, decomposed({PathTemplate::ObjectDefinition{}}, "CustomObject"),
              kObjects, "CustomObject", kPlatformEventAttributes, "Platform Events", "Platform Event",
              {.compares_document = true},
              ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, source_file("classes", "cls", "ApexClass"), metadata_api("ApexClass"), "ApexClass",
              kApexCodeAttributes, "Apex Classes", "Apex Class", {.opens_test_screen = true, .apex_code = true},
              ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, source_file("triggers", "trigger", "ApexTrigger"), metadata_api("ApexTrigger"),
              "ApexTrigger", kApexCodeAttributes, "Apex Triggers", "Apex Trigger",
              {.opens_test_screen = true, .apex_code = true}, ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, bundle("lwc"), metadata_api("LightningComponentBundle"), "LightningComponentBundle", {},
              "Lightning Web Components", "Lightning Web Component", {}, ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, bundle("aura"), metadata_api("AuraDefinitionBundle"), "AuraDefinitionBundle", {},
              "Aura Components", "Aura Component", {}, ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, source_file("pages", "page", "ApexPage"), metadata_api("ApexPage"), "ApexPage",
              kApexPageAttributes, "Visualforce Pages", "Visualforce Page", {}, ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, decomposed({PathTemplate::Layout{}}, "Layout"), metadata_api("Layout"), "Layout", {},
              "Page Layouts", "Page Layout", {.compares_document = true}, ContainerScope::WholeName, Core),
    fixed_row(kNoFilter, decomposed({PathTemplate::Flow{}}, "Flow"), metadata_api("Flow"), "Flow", kFlowAttributes,
              "Flows", "Flow", {.opens_test_screen = true, .compares_document = true}, ContainerScope::WholeName,
              Core),
    fixed_row(kNoFilter,
              decomposed({PathTemplate::DirectorySuffix{"productBundles", "productBundle"}}, "ProductBundle"),
              {ListingStrategy::RevenueCloud{0}}, "ProductBundle", {}, "Product Bundles", "Product Bundle",
              {.deploys_through_metadata_api = false, .compares_document = true}, ContainerScope::WholeName,
              RevenueCloud),
    fixed_row(kNoFilter,
              decomposed({PathTemplate::DirectorySuffix{"constraintModels", "constraintModel"}}, "ConstraintModel"),
              {ListingStrategy::RevenueCloud{1}}, "ConstraintModel", {}, "Constraint Models", "Constraint Model",
              {.deploys_through_metadata_api = false, .compares_document = true}, ContainerScope::WholeName,
              RevenueCloud),
}};

// A generic row: listed through the Metadata API under its own name, rooted at an element of its own
// name, no attributes, whole document compared.
constexpr TypeDescriptor generic_row(std::string_view api_name, ContentFormat format, std::string_view singular,
                                     std::string_view plural, MetadataCategory category) {
    return fixed_row(kNoFilter, format, metadata_api(api_name), api_name, {}, plural, singular,
                     {.compares_document = true}, ContainerScope::WholeName, category);
}

constexpr TypeDescriptor directory_suffix(std::string_view api_name, std::string_view directory,
                                          std::string_view suffix, std::string_view singular,
                                          std::string_view plural, MetadataCategory category) {
    return generic_row(api_name, decomposed({PathTemplate::DirectorySuffix{directory, suffix}}, api_name), singular,
                       plural, category);
}

constexpr TypeDescriptor object_child(std::string_view api_name, std::string_view directory, std::string_view suffix,
                                      std::string_view singular, std::string_view plural,
                                      MetadataCategory category) {
    return generic_row(api_name, decomposed({PathTemplate::ObjectChild{directory, suffix}}, api_name), singular,
                       plural, category);
}

constexpr TypeDescriptor container(std::string_view api_name, std::string_view directory, std::string_view suffix,
                                   std::optional<std::string_view> fixed_container, std::string_view container_type,
                                   std::string_view child_element, std::string_view singular,
                                   std::string_view plural, MetadataCategory category) {
    return generic_row(api_name,
                       ContentFormat{ContentFormat::ContainerDocument{
                           PathTemplate::ContainerChild{fixed_container, directory, suffix}, container_type,
                           child_element}},
                       singular, plural, category);
}

constexpr TypeDescriptor not_selectable(TypeDescriptor row) {
    row.selectable = false;
    return row;
}

constexpr TypeDescriptor with_group_label(TypeDescriptor row, std::string_view group) {
    row.group_label = group;
    return row;
}

// Sorted by API name in byte order; a generic type's index is its row here. Columns: API name,
// directory, file suffix (container rows add the fixed container, the container type and the child
// element), singular and plural label, category.
constexpr std::array<TypeDescriptor, kGenericTypeCount> kGenericDescriptors{{
    directory_suffix("ActionLauncherItemDef", "ActionLauncherItemDef", "actionLauncherItemDef", "Action Launcher Item Def", "Action Launcher Item Defs", UiAndNavigation),
    directory_suffix("ActionLinkGroupTemplate", "actionLinkGroupTemplates", "actionLinkGroupTemplate", "Action Link Group Template", "Action Link Group Templates", UiAndNavigation),
    directory_suffix("ActionPlanTemplate", "actionPlanTemplates", "apt", "Action Plan Template", "Action Plan Templates", Automation),
    directory_suffix("AnalyticsDashboard", "analyticsDashboards", "uadash", "Analytics Dashboard", "Analytics Dashboards", MarketingAndDataCloud),
    directory_suffix("AnalyticsVisualization", "analyticsVisualizations", "uaviz", "Analytics Visualization", "Analytics Visualizations", MarketingAndDataCloud),
    directory_suffix("AnalyticsWorkspace", "analyticsWorkspaces", "uawork", "Analytics Workspace", "Analytics Workspaces", MarketingAndDataCloud),
    directory_suffix("AnimationRule", "animationRules", "animationRule", "Animation Rule", "Animation Rules", UiAndNavigation),
    directory_suffix("ApexTestSuite", "testSuites", "testSuite", "Apex Test Suite", "Apex Test Suites", Code),
    directory_suffix("ApiNamedQuery", "apiNamedQueries", "apiNamedQuery", "API Named Query", "API Named Queries", Code),
    directory_suffix("AppMenu", "appMenus", "appMenu", "App Menu", "App Menus", UiAndNavigation),
    directory_suffix("ApprovalProcess", "approvalProcesses", "approvalProcess", "Approval Process", "Approval Processes", Automation),
    container("AssignmentRule", "assignmentRules", "assignmentRules", std::nullopt, "AssignmentRules", "assignmentRule", "Assignment Rule", "Assignment Rules", Automation),
    directory_suffix("Audience", "audience", "audience", "Audience", "Audiences", ExperienceCloud),
    container("AutoResponseRule", "autoResponseRules", "autoResponseRules", std::nullopt, "AutoResponseRules", "autoResponseRule", "Auto Response Rule", "Auto Response Rules", Automation),
    directory_suffix("BatchProcessJobDefinition", "batchProcessJobDefinitions", "batchProcessJobDefinition", "Batch Process Job Definition", "Batch Process Job Definitions", Code),
    directory_suffix("BrandingSet", "brandingSets", "brandingSet", "Branding Set", "Branding Sets", UiAndNavigation),
    directory_suffix("BriefcaseDefinition", "briefcaseDefinitions", "briefcaseDefinition", "Briefcase Definition", "Briefcase Definitions", ExperienceCloud),
    object_child("BusinessProcess", "businessProcesses", "businessProcess", "Business Process", "Business Processes", ObjectsAndFields),
    directory_suffix("CMSConnectSource", "cmsConnectSource", "cmsConnectSource", "CMS Connect Source", "CMS Connect Sources", ExperienceCloud),
    directory_suffix("CallCenter", "callCenters", "callCenter", "Call Center", "Call Centers", ServiceCloud),
    directory_suffix("CallCenterRoutingMap", "callCenterRoutingMaps", "callCenterRoutingMap", "Call Center Routing Map", "Call Center Routing Maps", ServiceCloud),
    directory_suffix("CallCoachingMediaProvider", "callCoachingMediaProviders", "callCoachingMediaProvider", "Call Coaching Media Provider", "Call Coaching Media Providers", ServiceCloud),
    directory_suffix("CampaignInfluenceModel", "campaignInfluenceModels", "campaignInfluenceModel", "Campaign Influence Model", "Campaign Influence Models", SalesCloud),
    directory_suffix("CanvasMetadata", "Canvases", "Canvas", "Canvas Metadata", "Canvas Metadata", Code),
    directory_suffix("CaseSubjectParticle", "CaseSubjectParticles", "CaseSubjectParticle", "Case Subject Particle", "Case Subject Particles", ServiceCloud),
    directory_suffix("ChannelLayout", "channelLayouts", "channelLayout", "Channel Layout", "Channel Layouts", ServiceCloud),
    directory_suffix("ChannelObjectLinkingRule", "ChannelObjectLinkingRules", "ChannelObjectLinkingRule", "Channel Object Linking Rule", "Channel Object Linking Rules", Automation),
    directory_suffix("ChatterExtension", "ChatterExtensions", "ChatterExtension", "Chatter Extension", "Chatter Extensions", ExperienceCloud),
    directory_suffix("ChoiceList", "ChoiceList", "ChoiceList", "Choice List", "Choice Lists", Code),
    directory_suffix("CommunityTemplateDefinition", "communityTemplateDefinitions", "communityTemplateDefinition", "Community Template Definition", "Community Template Definitions", ExperienceCloud),
    directory_suffix("CommunityThemeDefinition", "communityThemeDefinitions", "communityThemeDefinition", "Community Theme Definition", "Community Theme Definitions", ExperienceCloud),
    object_child("CompactLayout", "compactLayouts", "compactLayout", "Compact Layout", "Compact Layouts", ObjectsAndFields),
    directory_suffix("ContextDefinition", "contextDefinitions", "contextDefinition", "Context Definition", "Context Definitions", RevenueCloud),
    directory_suffix("ConvIntelligenceSignalRule", "ConvIntelligenceSignalRule", "ConvIntelligenceSignalRule", "Conv Intelligence Signal Rule", "Conv Intelligence Signal Rules", ServiceCloud),
    directory_suffix("ConversationMessageDefinition", "conversationMessageDefinitions", "conversationMessageDefinition", "Conversation Message Definition", "Conversation Message Definitions", ServiceCloud),
    directory_suffix("CorsWhitelistOrigin", "corsWhitelistOrigins", "corsWhitelistOrigin", "CORS Whitelist Origin", "CORS Whitelist Origins", IntegrationAndAuth),
    directory_suffix("CspTrustedSite", "cspTrustedSites", "cspTrustedSite", "CSP Trusted Site", "CSP Trusted Sites", IntegrationAndAuth),
    directory_suffix("CustomApplication", "applications", "app", "Custom Application", "Custom Applications", UiAndNavigation),
    directory_suffix("CustomApplicationComponent", "customApplicationComponents", "customApplicationComponent", "Custom Application Component", "Custom Application Components", UiAndNavigation),
    directory_suffix("CustomFeedFilter", "feedFilters", "feedFilter", "Custom Feed Filter", "Custom Feed Filters", UiAndNavigation),
    directory_suffix("CustomHelpMenuSection", "customHelpMenuSections", "customHelpMenuSection", "Custom Help Menu Section", "Custom Help Menu Sections", UiAndNavigation),
    container("CustomLabel", "labels", "labels", "CustomLabels", "CustomLabels", "labels", "Custom Label", "Custom Labels", Localization),
    directory_suffix("CustomMetadata", "customMetadata", "md", "Custom Metadata Record", "Custom Metadata Records", ObjectsAndFields),
    directory_suffix("CustomNotificationType", "notificationtypes", "notiftype", "Custom Notification Type", "Custom Notification Types", ObjectsAndFields),
    directory_suffix("CustomPermission", "customPermissions", "customPermission", "Custom Permission", "Custom Permissions", SecurityAndSharing),
    directory_suffix("CustomSite", "sites", "site", "Custom Site", "Custom Sites", ServiceCloud),
    directory_suffix("CustomTab", "tabs", "tab", "Custom Tab", "Custom Tabs", UiAndNavigation),
    directory_suffix("DataCategoryGroup", "datacategorygroups", "datacategorygroup", "Data Category Group", "Data Category Groups", ServiceCloud),
    directory_suffix("DecisionMatrixDefinition", "decisionMatrixDefinition", "decisionMatrixDefinition", "Decision Matrix Definition", "Decision Matrix Definitions", RevenueCloud),
    directory_suffix("DecisionMatrixDefinitionVersion", "decisionMatrixVersion", "decisionMatrixVersion", "Decision Matrix Definition Version", "Decision Matrix Definition Versions", RevenueCloud),
    directory_suffix("DecisionTable", "decisionTables", "decisionTable", "Decision Table", "Decision Tables", RevenueCloud),
    directory_suffix("DecisionTableDatasetLink", "decisionTableDatasetLinks", "decisionTableDatasetLink", "Decision Table Dataset Link", "Decision Table Dataset Links", RevenueCloud),
    directory_suffix("DelegateGroup", "delegateGroups", "delegateGroup", "Delegate Group", "Delegate Groups", SecurityAndSharing),
    directory_suffix("DuplicateRule", "duplicateRules", "duplicateRule", "Duplicate Rule", "Duplicate Rules", ObjectsAndFields),
    directory_suffix("EmailServicesFunction", "emailservices", "xml", "Email Services Function", "Email Services Functions", IntegrationAndAuth),
    directory_suffix("EmbeddedServiceBranding", "EmbeddedServiceBranding", "EmbeddedServiceBranding", "Embedded Service Branding", "Embedded Service Brandings", ServiceCloud),
    directory_suffix("EmbeddedServiceConfig", "EmbeddedServiceConfig", "EmbeddedServiceConfig", "Embedded Service Config", "Embedded Service Configs", ServiceCloud),
    directory_suffix("EmbeddedServiceFlowConfig", "EmbeddedServiceFlowConfig", "EmbeddedServiceFlowConfig", "Embedded Service Flow Config", "Embedded Service Flow Configs", ServiceCloud),
    directory_suffix("EmbeddedServiceMenuSettings", "EmbeddedServiceMenuSettings", "EmbeddedServiceMenuSettings", "Embedded Service Menu Settings", "Embedded Service Menu Settings", ServiceCloud),
    directory_suffix("EntitlementProcess", "entitlementProcesses", "entitlementProcess", "Entitlement Process", "Entitlement Processes", ServiceCloud),
    directory_suffix("EntitlementTemplate", "entitlementTemplates", "entitlementTemplate", "Entitlement Template", "Entitlement Templates", ServiceCloud),
    container("EscalationRule", "escalationRules", "escalationRules", std::nullopt, "EscalationRules", "escalationRule", "Escalation Rule", "Escalation Rules", Automation),
    directory_suffix("EventRelayConfig", "eventRelays", "eventRelay", "Event Relay Config", "Event Relay Configs", IntegrationAndAuth),
    not_selectable(directory_suffix("ExpressionSetDefinition", "expressionSetDefinition", "expressionSetDefinition", "Expression Set Definition", "Expression Set Definitions", RevenueCloud)),
    with_group_label(directory_suffix("ExpressionSetDefinitionVersion", "expressionSetVersion", "expressionSetVersion", "Expression Set Definition Version", "Expression Set Definition Versions", RevenueCloud),
                     "Expression Set Definitions"),
    directory_suffix("ExpressionSetMessageToken", "expressionSetMessageToken", "expressionSetMessageToken", "Expression Set Message Token", "Expression Set Message Tokens", RevenueCloud),
    directory_suffix("ExpressionSetObjectAlias", "expressionSetObjectAlias", "expressionSetObjectAlias", "Expression Set Object Alias", "Expression Set Object Aliases", RevenueCloud),
    directory_suffix("ExternalDataConnector", "externalDataConnectors", "externalDataConnector", "External Data Connector", "External Data Connectors", MarketingAndDataCloud),
    directory_suffix("ExternalServiceRegistration", "externalServiceRegistrations", "externalServiceRegistration", "External Service Registration", "External Service Registrations", IntegrationAndAuth),
    directory_suffix("FieldRestrictionRule", "fieldRestrictionRules", "rule", "Field Restriction Rule", "Field Restriction Rules", SecurityAndSharing),
    object_child("FieldSet", "fieldSets", "fieldSet", "Field Set", "Field Sets", ObjectsAndFields),
    directory_suffix("FlexiPage", "flexipages", "flexipage", "Flexi Page", "Flexi Pages", UiAndNavigation),
    directory_suffix("FlowCategory", "flowCategories", "flowCategory", "Flow Category", "Flow Categories", Automation),
    directory_suffix("FlowTest", "flowtests", "flowtest", "Flow Test", "Flow Tests", Automation),
    directory_suffix("FlowValueMap", "flowValueMaps", "flowvaluemap", "Flow Value Map", "Flow Value Maps", Automation),
    directory_suffix("ForecastingFilter", "forecastingFilters", "forecastingFilter", "Forecasting Filter", "Forecasting Filters", SalesCloud),
    directory_suffix("ForecastingFilterCondition", "forecastingFilterConditions", "forecastingFilterCondition", "Forecasting Filter Condition", "Forecasting Filter Conditions", SalesCloud),
    directory_suffix("ForecastingGroup", "forecastingGroups", "forecastingGroup", "Forecasting Group", "Forecasting Groups", SalesCloud),
    directory_suffix("ForecastingSourceDefinition", "forecastingSourceDefinitions", "forecastingSourceDefinition", "Forecasting Source Definition", "Forecasting Source Definitions", SalesCloud),
    directory_suffix("ForecastingType", "forecastingTypes", "forecastingType", "Forecasting Type", "Forecasting Types", SalesCloud),
    directory_suffix("ForecastingTypeSource", "forecastingTypeSources", "forecastingTypeSource", "Forecasting Type Source", "Forecasting Type Sources", SalesCloud),
    directory_suffix("GlobalValueSet", "globalValueSets", "globalValueSet", "Global Value Set", "Global Value Sets", ObjectsAndFields),
    directory_suffix("GlobalValueSetTranslation", "globalValueSetTranslations", "globalValueSetTranslation", "Global Value Set Translation", "Global Value Set Translations", Localization),
    directory_suffix("IPAddressRange", "IPAddressRanges", "IPAddressRange", "IP Address Range", "IP Address Ranges", SecurityAndSharing),
    object_child("Index", "indexes", "index", "Index", "Indexes", ObjectsAndFields),
    directory_suffix("IntegrationProviderDef", "integrationProviderDefinitions", "integrationProviderDefinition", "Integration Provider Def", "Integration Provider Defs", IntegrationAndAuth),
    directory_suffix("InvocableActionExtension", "invocableactionextensions", "invocableactionextension", "Invocable Action Extension", "Invocable Action Extensions", Automation),
    directory_suffix("KeywordList", "moderation", "keywords", "Keyword List", "Keyword Lists", ExperienceCloud),
    directory_suffix("LeadConvertSettings", "LeadConvertSettings", "LeadConvertSetting", "Lead Convert Settings", "Lead Convert Settings", UiAndNavigation),
    directory_suffix("Letterhead", "letterhead", "letter", "Letterhead", "Letterheads", EmailAndTemplates),
    directory_suffix("LightningExperienceTheme", "lightningExperienceThemes", "lightningExperienceTheme", "Lightning Experience Theme", "Lightning Experience Themes", UiAndNavigation),
    directory_suffix("LightningMessageChannel", "messageChannels", "messageChannel", "Lightning Message Channel", "Lightning Message Channels", Code),
    directory_suffix("LightningOnboardingConfig", "lightningOnboardingConfigs", "lightningOnboardingConfig", "Lightning Onboarding Config", "Lightning Onboarding Configs", UiAndNavigation),
    object_child("ListView", "listViews", "listView", "List View", "List Views", ObjectsAndFields),
    directory_suffix("LiveChatSensitiveDataRule", "liveChatSensitiveDataRule", "liveChatSensitiveDataRule", "Live Chat Sensitive Data Rule", "Live Chat Sensitive Data Rules", ServiceCloud),
    directory_suffix("ManagedContentType", "managedContentTypes", "managedContentType", "Managed Content Type", "Managed Content Types", ExperienceCloud),
    directory_suffix("ManagedEventSubscription", "managedEventSubscriptions", "managedEventSubscription", "Managed Event Subscription", "Managed Event Subscriptions", Automation),
    directory_suffix("McpServerDefinition", "mcpServerDefinitions", "mcpServerDefinition", "MCP Server Definition", "MCP Server Definitions", IntegrationAndAuth),
    directory_suffix("MessagingChannel", "messagingChannels", "messagingChannel", "Messaging Channel", "Messaging Channels", ServiceCloud),
    directory_suffix("MilestoneType", "milestoneTypes", "milestoneType", "Milestone Type", "Milestone Types", ServiceCloud),
    directory_suffix("MobSecurityCertPinConfig", "mobSecurityCertPinConfigs", "mobSecurityCertPinConfig", "Mobile Security Cert Pin Config", "Mobile Security Cert Pin Configs", Mobile),
    directory_suffix("MobileSecurityAssignment", "mobileSecurityAssignments", "mobileSecurityAssignment", "Mobile Security Assignment", "Mobile Security Assignments", Mobile),
    directory_suffix("MobileSecurityPolicy", "mobileSecurityPolicies", "mobileSecurityPolicy", "Mobile Security Policy", "Mobile Security Policies", Mobile),
    directory_suffix("ModerationRule", "moderation", "rule", "Moderation Rule", "Moderation Rules", ExperienceCloud),
    directory_suffix("NavigationMenu", "navigationMenus", "navigationMenu", "Navigation Menu", "Navigation Menus", ExperienceCloud),
    directory_suffix("NotificationTypeConfig", "notificationTypeConfig", "config", "Notification Type Config", "Notification Type Configs", Automation),
    directory_suffix("OauthCustomScope", "oauthcustomscopes", "oauthcustomscope", "OAuth Custom Scope", "OAuth Custom Scopes", IntegrationAndAuth),
    directory_suffix("OauthTokenExchangeHandler", "oauthtokenexchangehandlers", "oauthtokenexchangehandler", "OAuth Token Exchange Handler", "OAuth Token Exchange Handlers", IntegrationAndAuth),
    directory_suffix("OmniSupervisorConfig", "omniSupervisorConfigs", "omniSupervisorConfig", "Omni Supervisor Config", "Omni Supervisor Configs", ServiceCloud),
    directory_suffix("PathAssistant", "pathAssistants", "pathAssistant", "Path Assistant", "Path Assistants", UiAndNavigation),
    directory_suffix("PermissionSet", "permissionsets", "permissionset", "Permission Set", "Permission Sets", SecurityAndSharing),
    directory_suffix("PermissionSetGroup", "permissionsetgroups", "permissionsetgroup", "Permission Set Group", "Permission Set Groups", SecurityAndSharing),
    directory_suffix("PipelineInspMetricConfig", "pipelineInspMetricConfigs", "pipelineInspMetricConfig", "Pipeline Insp Metric Config", "Pipeline Insp Metric Configs", Analytics),
    directory_suffix("PlatformCachePartition", "cachePartitions", "cachePartition", "Platform Cache Partition", "Platform Cache Partitions", Code),
    directory_suffix("PlatformEventChannel", "platformEventChannels", "platformEventChannel", "Platform Event Channel", "Platform Event Channels", IntegrationAndAuth),
    directory_suffix("PlatformEventChannelMember", "platformEventChannelMembers", "platformEventChannelMember", "Platform Event Channel Member", "Platform Event Channel Members", IntegrationAndAuth),
    directory_suffix("PlatformEventSubscriberConfig", "PlatformEventSubscriberConfigs", "platformEventSubscriberConfig", "Platform Event Subscriber Config", "Platform Event Subscriber Configs", IntegrationAndAuth),
    directory_suffix("PresenceDeclineReason", "presenceDeclineReasons", "presenceDeclineReason", "Presence Decline Reason", "Presence Decline Reasons", ServiceCloud),
    directory_suffix("PresenceUserConfig", "presenceUserConfigs", "presenceUserConfig", "Presence User Config", "Presence User Configs", ServiceCloud),
    directory_suffix("PricingActionParameters", "pricingActionParameters", "pricingActionParameters", "Pricing Action Parameters", "Pricing Action Parameters", RevenueCloud),
    directory_suffix("PricingRecipe", "pricingRecipe", "pricingRecipe", "Pricing Recipe", "Pricing Recipes", RevenueCloud),
    directory_suffix("ProcedurePlanDefinition", "procedurePlanDefinitions", "procedurePlanDefinition", "Procedure Plan Definition", "Procedure Plan Definitions", RevenueCloud),
    directory_suffix("ProductAttributeSet", "productAttributeSets", "productAttributeSet", "Product Attribute Set", "Product Attribute Sets", RevenueCloud),
    directory_suffix("Profile", "profiles", "profile", "Profile", "Profiles", SecurityAndSharing),
    directory_suffix("Prompt", "prompts", "prompt", "Prompt", "Prompts", UiAndNavigation),
    directory_suffix("QueueRoutingConfig", "queueRoutingConfigs", "queueRoutingConfig", "Queue Routing Config", "Queue Routing Configs", ServiceCloud),
    directory_suffix("QuickAction", "quickActions", "quickAction", "Quick Action", "Quick Actions", UiAndNavigation),
    directory_suffix("RecordActionDeployment", "recordActionDeployments", "deployment", "Record Action Deployment", "Record Action Deployments", Automation),
    object_child("RecordType", "recordTypes", "recordType", "Record Type", "Record Types", ObjectsAndFields),
    directory_suffix("RedirectWhitelistUrl", "redirectWhitelistUrls", "redirectWhitelistUrl", "Redirect Whitelist Url", "Redirect Whitelist Urls", IntegrationAndAuth),
    directory_suffix("RemoteSiteSetting", "remoteSiteSettings", "remoteSite", "Remote Site Setting", "Remote Site Settings", IntegrationAndAuth),
    directory_suffix("ReportType", "reportTypes", "reportType", "Report Type", "Report Types", Analytics),
    directory_suffix("RestrictionRule", "restrictionRules", "rule", "Restriction Rule", "Restriction Rules", SecurityAndSharing),
    directory_suffix("SearchCustomization", "searchCustomizations", "searchCustomization", "Search Customization", "Search Customizations", UiAndNavigation),
    directory_suffix("SearchOrgWideObjectConfig", "searchOrgWideConfiguration", "searchOrgWideObjectConfig", "Search Org Wide Object Config", "Search Org Wide Object Configs", UiAndNavigation),
    directory_suffix("ServiceChannel", "serviceChannels", "serviceChannel", "Service Channel", "Service Channels", ServiceCloud),
    directory_suffix("ServicePresenceStatus", "servicePresenceStatuses", "servicePresenceStatus", "Service Presence Status", "Service Presence Statuses", ServiceCloud),
    container("SharingCriteriaRule", "sharingRules", "sharingRules", std::nullopt, "SharingRules", "sharingCriteriaRules", "Sharing Criteria Rule", "Sharing Criteria Rules", SecurityAndSharing),
    container("SharingGuestRule", "sharingRules", "sharingRules", std::nullopt, "SharingRules", "sharingGuestRules", "Sharing Guest Rule", "Sharing Guest Rules", SecurityAndSharing),
    container("SharingOwnerRule", "sharingRules", "sharingRules", std::nullopt, "SharingRules", "sharingOwnerRules", "Sharing Owner Rule", "Sharing Owner Rules", SecurityAndSharing),
    object_child("SharingReason", "sharingReasons", "sharingReason", "Sharing Reason", "Sharing Reasons", ObjectsAndFields),
    directory_suffix("SharingSet", "sharingSets", "sharingSet", "Sharing Set", "Sharing Sets", SecurityAndSharing),
    directory_suffix("Skill", "skills", "skill", "Skill", "Skills", ServiceCloud),
    directory_suffix("SkillType", "skilltypes", "skilltype", "Skill Type", "Skill Types", ServiceCloud),
    directory_suffix("SynonymDictionary", "synonymDictionaries", "synonymDictionary", "Synonym Dictionary", "Synonym Dictionaries", UiAndNavigation),
    directory_suffix("TopicsForObjects", "topicsForObjects", "topicsForObjects", "Topics For Objects", "Topics For Objects", ObjectsAndFields),
    directory_suffix("UiFormatSpecificationSet", "uiFormatSpecificationSets", "uiFormatSpecificationSet", "UI Format Specification Set", "UI Format Specification Sets", UiAndNavigation),
    directory_suffix("UserCriteria", "userCriteria", "userCriteria", "User Criteria", "User Criteria", ExperienceCloud),
    directory_suffix("UserProvisioningConfig", "userProvisioningConfigs", "userProvisioningConfig", "User Provisioning Config", "User Provisioning Configs", SecurityAndSharing),
    object_child("ValidationRule", "validationRules", "validationRule", "Validation Rule", "Validation Rules", ObjectsAndFields),
    object_child("WebLink", "webLinks", "webLink", "Web Link", "Web Links", ObjectsAndFields),
}};

}  // namespace

std::span<const TypeDescriptor> fixed_descriptors() noexcept { return kFixedDescriptors; }

std::span<const TypeDescriptor> generic_descriptors() noexcept { return kGenericDescriptors; }

}  // namespace ambrel::metadata_types::detail
